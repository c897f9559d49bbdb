#include "tools/service/service.h"

#include <httplib.h>
#include <openssl/rand.h>
#include <pthread.h>
#include <signal.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "bridge/base64.h"
#include "tools/common/site.h"

namespace tarn::tools {
namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

// Body bytes written for the request that the current thread serves. The
// server answers a connection on one thread, from routing through the body
// to the log line, so a thread-local count needs no lock.
thread_local uint64_t tBodyBytes = 0;
// Whether the current thread's request was counted as in flight.
thread_local bool tInFlight = false;

class AccessLog {
 public:
  bool Open(const std::string& where) {
    if (where == "-") {
      file_ = stdout;
      return true;
    }
    file_ = std::fopen(where.c_str(), "a");
    owned_ = file_ != nullptr;
    return owned_;
  }
  ~AccessLog() {
    if (owned_) std::fclose(file_);
  }
  // One line per request, flushed at once so that a test can read it while
  // the service runs: method, target, status, body bytes sent, Range or "-".
  void Write(const httplib::Request& req, int status, uint64_t bytes) {
    const std::string range = req.has_header("Range") ? req.get_header_value("Range") : "-";
    std::lock_guard guard(lock_);
    std::fprintf(file_, "%s %s %d %llu %s\n", req.method.c_str(), req.target.c_str(), status,
                 static_cast<unsigned long long>(bytes), range.c_str());
    std::fflush(file_);
  }

 private:
  std::mutex lock_;
  FILE* file_ = nullptr;
  bool owned_ = false;
};

// Every answer goes through a provider with an explicit length: the library
// then leaves Range alone (the file answers do their own range arithmetic)
// and never compresses, and the provider counts what really went out.
void Answer(httplib::Response& res, int status, const std::string& type, std::string body) {
  res.status = status;
  res.set_header("Content-Length", std::to_string(body.size()));
  auto text = std::make_shared<std::string>(std::move(body));
  res.set_content_provider(type, [text](size_t offset, httplib::DataSink& sink) {
    if (offset < text->size()) {
      if (!sink.write(text->data() + offset, text->size() - offset)) return false;
      tBodyBytes += text->size() - offset;
    }
    sink.done();
    return true;
  });
}

void AnswerJson(httplib::Response& res, int status, const Json& json) {
  Answer(res, status, "application/json; charset=utf-8", json.dump(-1, ' ', false, Json::error_handler_t::replace));
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string HtmlPage(std::string_view title, std::string_view body) {
  return "<!DOCTYPE html>\n<html lang=\"ru\"><head><meta charset=\"utf-8\"><title>" + HtmlEscape(title) +
         "</title></head>\n<body><h1>" + HtmlEscape(title) + "</h1>\n" + std::string(body) + "</body></html>\n";
}

// "%XX" escapes decoded; "+" stays a plus sign, which Base64 needs. A
// broken escape is kept as it stands.
std::string PercentDecode(std::string_view text) {
  auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The raw value of one query parameter, percent-decoded. The library's own
// parsing turns "+" into a space and splits at every "=", which would break
// a Base64 value with padding.
std::string QueryValue(const std::string& target, std::string_view key) {
  const size_t q = target.find('?');
  if (q == std::string::npos) return {};
  std::string_view query(target);
  query.remove_prefix(q + 1);
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    if (pair.size() > key.size() && pair.starts_with(key) && pair[key.size()] == '=') {
      return PercentDecode(pair.substr(key.size() + 1));
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return {};
}

struct ByteRange {
  bool present = false;
  uint64_t first = 0;
  uint64_t last = 0;     // inclusive
  bool toEnd = true;     // "N-"
  bool suffix = false;   // "-K": the last K bytes
};

// One "bytes=" range; several ranges are answered as if none were asked
// for, which the protocol allows and no launcher does.
ByteRange ParseRange(const std::string& header) {
  ByteRange r;
  std::string_view v(header);
  if (!v.starts_with("bytes=") || v.find(',') != std::string_view::npos) return r;
  v.remove_prefix(6);
  const size_t dash = v.find('-');
  if (dash == std::string_view::npos) return r;
  auto number = [](std::string_view s, uint64_t& out) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return !s.empty() && ec == std::errc() && p == s.data() + s.size();
  };
  const std::string_view a = v.substr(0, dash);
  const std::string_view b = v.substr(dash + 1);
  if (a.empty()) {
    if (!number(b, r.last)) return r;
    r.suffix = true;
  } else {
    if (!number(a, r.first)) return r;
    if (!b.empty()) {
      if (!number(b, r.last) || r.last < r.first) return r;
      r.toEnd = false;
    }
  }
  r.present = true;
  return r;
}

struct Account {
  std::string password;
  Json roles;
};

class Service {
 public:
  explicit Service(const ServiceConfig& config) : config_(config) { faults_.Replace(config.faults); }

  bool Setup(httplib::Server& server, std::string& error) {
    if (!log_.Open(config_.accessLog)) {
      error = "cannot open the access log " + config_.accessLog;
      return false;
    }
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      return PreRoute(req, res);
    });
    server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
      if (!req.path.starts_with("/control/")) log_.Write(req, res.status, tBodyBytes);
      tBodyBytes = 0;
      if (tInFlight) {
        tInFlight = false;
        std::lock_guard guard(flightLock_);
        --inFlight_;
        flightDone_.notify_all();
      }
    });
    server.Post("/api/auth", [this](const httplib::Request& req, httplib::Response& res) { Auth(req, res); });
    server.Post("/api/ticket", [this](const httplib::Request& req, httplib::Response& res) { Ticket(req, res); });
    server.Get("/api/news", [this](const httplib::Request&, httplib::Response& res) { News(res); });
    server.Get("/cabinet", [this](const httplib::Request& req, httplib::Response& res) { Cabinet(req, res); });
    server.Get("/api/file", [this](const httplib::Request& req, httplib::Response& res) { ClientFile(req, res); });
    server.Get("/TRN/(.+)", [this](const httplib::Request& req, httplib::Response& res) { UpdateFile(req, res); });
    if (config_.control) {
      // The log line of a request is written after its last byte went out,
      // so a client can be done before the line is there. A test reads the
      // log after this answer, which waits until no request is in flight.
      server.Get("/control/sync", [this](const httplib::Request&, httplib::Response& res) {
        std::unique_lock guard(flightLock_);
        const bool idle = flightDone_.wait_for(guard, std::chrono::seconds(5), [this] { return inFlight_ == 0; });
        guard.unlock();
        Answer(res, idle ? 200 : 503, "text/plain; charset=utf-8", idle ? "idle\n" : "busy\n");
      });
      server.Get("/control/faults", [this](const httplib::Request&, httplib::Response& res) {
        Answer(res, 200, "text/plain; charset=utf-8", DescribeFaults(faults_.Snapshot()));
      });
      server.Post("/control/faults", [this](const httplib::Request& req, httplib::Response& res) {
        FaultRules rules;
        std::string why;
        if (!ParseFaultText(req.body, rules, why)) return Answer(res, 400, "text/plain; charset=utf-8", why + "\n");
        faults_.Replace(std::move(rules));
        Answer(res, 200, "text/plain; charset=utf-8", "ok\n");
      });
    }
    return true;
  }

 private:
  httplib::Server::HandlerResponse PreRoute(const httplib::Request& req, httplib::Response& res) {
    tBodyBytes = 0;
    if (req.path.starts_with("/control/")) return httplib::Server::HandlerResponse::Unhandled;
    {
      std::lock_guard guard(flightLock_);
      ++inFlight_;
      tInFlight = true;
    }
    const FaultRules snapshot = faults_.Snapshot();
    if (snapshot.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(snapshot.delayMs));
    std::string listPath;
    if (req.path == "/api/file" && DecodeBase64Url(QueryValue(req.target, "n"), listPath)) {
      std::replace(listPath.begin(), listPath.end(), '\\', '/');
    }
    if (const int code = faults_.TakeStatus(req.path, req.target, listPath)) {
      Answer(res, code, "text/plain; charset=utf-8", "injected status " + std::to_string(code) + "\n");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (const FaultState::Special special = faults_.TakeSpecial(req.path, req.target);
        special.kind != FaultState::Special::None) {
      AnswerSpecial(special, req, res);
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  }

  // Answers that a sound service never gives: they end only when the client
  // gives up (a write fails) or the service stops.
  void AnswerSpecial(const FaultState::Special& special, const httplib::Request& req, httplib::Response& res) {
    if (special.kind == FaultState::Special::Redirect) {
      res.set_header("Location", "http://127.0.0.1:" + std::to_string(special.value) + req.target);
      return Answer(res, 307, "text/plain; charset=utf-8", "moved\n");
    }
    res.status = 200;
    if (special.kind == FaultState::Special::Endless) {
      res.set_chunked_content_provider("application/octet-stream", [](size_t, httplib::DataSink& sink) {
        static const std::string block(65536, 'x');
        if (!sink.write(block.data(), block.size())) return false;
        tBodyBytes += block.size();
        return true;
      });
      return;
    }
    const auto every = std::chrono::milliseconds(special.value);
    res.set_chunked_content_provider("application/octet-stream", [every](size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(every);
      if (!sink.write(" ", 1)) return false;
      ++tBodyBytes;
      return true;
    });
  }

  // Reads accounts.json afresh for every check, so an operator's edit takes
  // effect without a restart.
  bool LoadAccounts(std::map<std::string, Account>& accounts) {
    std::string text;
    if (!ReadWholeFile(SiteAccountsPath(config_.site), text)) return false;
    const Json json = Json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.contains("accounts") || !json["accounts"].is_array()) {
      std::fprintf(stderr, "tarn-service: %s is not {\"accounts\":[...]}\n", SiteAccountsPath(config_.site).c_str());
      return false;
    }
    for (const Json& a : json["accounts"]) {
      if (!a.is_object() || !a.contains("login") || !a["login"].is_string() || !a.contains("password") ||
          !a["password"].is_string()) {
        continue;
      }
      accounts.emplace(a["login"].get<std::string>(),
                       Account{a["password"].get<std::string>(), a.contains("roles") ? a["roles"] : Json::array()});
    }
    return true;
  }

  // The login of a request body with valid credentials; 400 or 401 answered
  // otherwise.
  bool CheckCredentials(const httplib::Request& req, httplib::Response& res, std::string& login, Account& account) {
    const Json body = Json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || !body.contains("login") || !body["login"].is_string() ||
        !body.contains("password") || !body["password"].is_string()) {
      AnswerJson(res, 400, Json{{"error", "expected {\"login\":\"...\",\"password\":\"...\"}"}});
      return false;
    }
    std::map<std::string, Account> accounts;
    if (!LoadAccounts(accounts)) {
      AnswerJson(res, 500, Json{{"error", "the account store is unreadable"}});
      return false;
    }
    login = body["login"].get<std::string>();
    const auto it = accounts.find(login);
    if (it == accounts.end() || it->second.password != body["password"].get<std::string>()) {
      AnswerJson(res, 401, Json{{"error", "invalid login or password"}});
      return false;
    }
    account = it->second;
    return true;
  }

  void Auth(const httplib::Request& req, httplib::Response& res) {
    std::string login;
    Account account;
    if (!CheckCredentials(req, res, login, account)) return;
    // "roles" comes first: the launcher takes the first "roles": in the
    // text, and a login could spell that inside its own value.
    Json answer;
    answer["roles"] = account.roles;
    answer["login"] = login;
    AnswerJson(res, 200, answer);
  }

  void Ticket(const httplib::Request& req, httplib::Response& res) {
    std::string login;
    Account account;
    if (!CheckCredentials(req, res, login, account)) return;
    unsigned char random[16];
    if (RAND_bytes(random, sizeof random) != 1) return AnswerJson(res, 500, Json{{"error", "no randomness"}});
    static const char digits[] = "0123456789abcdef";
    std::string ticket;
    for (unsigned char b : random) {
      ticket += digits[b >> 4];
      ticket += digits[b & 15];
    }
    const auto ttl = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(config_.ticketTtlSeconds));
    {
      std::lock_guard guard(ticketsLock_);
      const auto now = Clock::now();
      std::erase_if(tickets_, [now](const auto& t) { return t.second.expires <= now; });
      tickets_[ticket] = Issued{login, now + ttl};
    }
    AnswerJson(res, 200, Json{{"ticket", ticket}});
  }

  void Cabinet(const httplib::Request& req, httplib::Response& res) {
    const std::string ticket = QueryValue(req.target, "t");
    std::string login;
    {
      std::lock_guard guard(ticketsLock_);
      const auto it = tickets_.find(ticket);
      // A ticket opens the cabinet once; whatever the outcome, it is gone.
      if (it != tickets_.end()) {
        if (it->second.expires > Clock::now()) login = it->second.login;
        tickets_.erase(it);
      }
    }
    const std::string type = "text/html; charset=utf-8";
    if (login.empty()) {
      return Answer(res, 403, type,
                    HtmlPage("Вход не выполнен", "<p>Ссылка для входа недействительна или устарела. Откройте кабинет "
                                                 "из лаунчера ещё раз.</p>\n"));
    }
    Answer(res, 200, type,
           HtmlPage("Личный кабинет", "<p>Аккаунт: <b id=\"login\">" + HtmlEscape(login) + "</b></p>\n"));
  }

  void News(httplib::Response& res) {
    std::string text;
    if (!ReadWholeFile(SiteNewsPath(config_.site), text)) return AnswerJson(res, 200, Json{{"news", Json::array()}});
    const Json json = Json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object() || !json.contains("news")) {
      std::fprintf(stderr, "tarn-service: %s is not {\"news\":...}\n", SiteNewsPath(config_.site).c_str());
      return AnswerJson(res, 500, Json{{"error", "news.json is not valid"}});
    }
    // Served as the operator wrote it: the launcher passes the value on
    // character for character.
    Answer(res, 200, "application/json; charset=utf-8", text);
  }

  void ClientFile(const httplib::Request& req, httplib::Response& res) {
    std::string listPath;
    if (!DecodeBase64Url(QueryValue(req.target, "n"), listPath) || listPath.empty()) {
      return Answer(res, 400, "text/plain; charset=utf-8", "the n parameter is not a file token\n");
    }
    std::replace(listPath.begin(), listPath.end(), '\\', '/');
    ServeFrom(SiteClientDir(config_.site), listPath, req, res, true);
  }

  void UpdateFile(const httplib::Request& req, httplib::Response& res) {
    ServeFrom(SiteUpdateDir(config_.site), req.matches[1].str(), req, res, false);
  }

  void ServeFrom(const fs::path& root, const std::string& relative, const httplib::Request& req,
                 httplib::Response& res, bool clientFile) {
    fs::path file;
    switch (ResolveInside(root, relative, file)) {
      case Resolve::Refused:
        return Answer(res, 403, "text/plain; charset=utf-8", "refused: the path leaves the served folder\n");
      case Resolve::NotFound:
        return Answer(res, 404, "text/plain; charset=utf-8", "no such file\n");
      case Resolve::Ok:
        break;
    }
    std::error_code ec;
    const uint64_t size = fs::file_size(file, ec);
    auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
    if (ec || !*in) return Answer(res, 500, "text/plain; charset=utf-8", "cannot read the file\n");

    const FaultRules faults = faults_.Snapshot();
    ByteRange range;
    if (req.has_header("Range") && !faults.ignoreRange) range = ParseRange(req.get_header_value("Range"));
    uint64_t first = 0;
    uint64_t length = size;
    res.set_header("Accept-Ranges", faults.ignoreRange ? "none" : "bytes");
    if (range.present) {
      if (range.suffix) {
        length = std::min<uint64_t>(range.last, size);
        first = size - length;
      } else {
        first = range.first;
      }
      if (first >= size || (range.suffix && length == 0)) {
        res.set_header("Content-Range", "bytes */" + std::to_string(size));
        return Answer(res, 416, "text/plain; charset=utf-8", "");
      }
      if (!range.suffix) length = range.toEnd ? size - first : std::min(range.last, size - 1) - first + 1;
      uint64_t shift = 0;
      if (faults_.TakeShift(shift)) {
        shift = std::min(shift, first + length - 1 - first);
        first += shift;
        length -= shift;
      }
      res.set_header("Content-Range",
                     "bytes " + std::to_string(first) + "-" + std::to_string(first + length - 1) + "/" + std::to_string(size));
      res.status = 206;
    } else {
      res.status = 200;
    }
    res.set_header("Content-Length", std::to_string(length));

    uint64_t cutAfter = length;
    const bool cut = faults_.TakeCut(length, cutAfter);
    const bool corrupt = clientFile && faults_.TakeCorrupt(relative);
    uint64_t stallAfter = length;
    int stallMs = 0;
    const bool stall = faults_.TakeStall(length, stallAfter, stallMs);
    const uint64_t throttle = faults.throttle;
    const auto started = Clock::now();
    // Small pieces under a throttle keep the pace even; large ones otherwise.
    const size_t piece = throttle > 0 ? static_cast<size_t>(std::clamp<uint64_t>(throttle / 20, 1, 65536)) : 262144;
    // One buffer for the whole answer: a fresh one per piece would cost a
    // mapping, its page faults and its zeroing every 256 KiB.
    auto buffer = std::make_shared<std::string>();
    res.set_content_provider("application/octet-stream", [=](size_t offset, httplib::DataSink& sink) {
      if (offset >= length) {
        sink.done();
        return true;
      }
      if (cut && offset >= cutAfter) return false;  // drops the connection
      if (stall && offset >= stallAfter) {
        std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
        return false;
      }
      uint64_t want = std::min<uint64_t>(piece, length - offset);
      if (cut) want = std::min<uint64_t>(want, cutAfter - offset);
      if (stall) want = std::min<uint64_t>(want, stallAfter - offset);
      buffer->resize(static_cast<size_t>(want));
      char* bytes = buffer->data();
      in->seekg(static_cast<std::streamoff>(first + offset));
      in->read(bytes, static_cast<std::streamsize>(want));
      if (static_cast<uint64_t>(in->gcount()) != want) return false;
      if (corrupt) {
        // One flipped byte in every 4 KiB of the file, the first one included,
        // so that any file of any size arrives with a wrong checksum.
        for (uint64_t pos = first + offset; pos < first + offset + want; ++pos) {
          if (pos % 4096 == 0) bytes[pos - first - offset] = static_cast<char>(~bytes[pos - first - offset]);
        }
      }
      if (!sink.write(bytes, static_cast<size_t>(want))) return false;
      tBodyBytes += want;
      if (throttle > 0) {
        const auto due = started + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(static_cast<double>(offset + want) / throttle));
        std::this_thread::sleep_until(due);
      }
      return true;
    });
  }

  struct Issued {
    std::string login;
    Clock::time_point expires;
  };

  const ServiceConfig& config_;
  AccessLog log_;
  FaultState faults_;
  std::mutex ticketsLock_;
  std::map<std::string, Issued> tickets_;
  std::mutex flightLock_;
  std::condition_variable flightDone_;
  int inFlight_ = 0;
};

}  // namespace

int RunService(const ServiceConfig& config) {
  // Signals are taken by one thread with sigwait, so that stopping the
  // server happens on an ordinary thread and not inside a signal handler.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::error_code ec;
  if (!fs::is_directory(config.site, ec)) {
    std::fprintf(stderr, "tarn-service: no site folder %s\n", config.site.c_str());
    return 2;
  }
  httplib::Server server;
  // Address reuse only: a restart must not wait for the last run's closed
  // connections to time out, but a second service must not share the port
  // (the library's default, port reuse, would let it).
  server.set_socket_options([](socket_t sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // Each connection holds a thread while it is open, and a throttled or
  // delayed answer holds it for long: more threads than the library's few,
  // so that a test's parallel tasks do not wait in line for each other.
  server.new_task_queue = [] { return new httplib::ThreadPool(32); };
  // Headers and body go out in separate writes; without this a client that
  // delays its acknowledgements would stall every small answer.
  server.set_tcp_nodelay(true);
  Service service(config);
  std::string error;
  if (!service.Setup(server, error)) {
    std::fprintf(stderr, "tarn-service: %s\n", error.c_str());
    return 2;
  }
  int port = config.port;
  if (port == 0) {
    port = server.bind_to_any_port(config.host);
  } else if (!server.bind_to_port(config.host, port)) {
    port = -1;
  }
  if (port < 0) {
    std::fprintf(stderr, "tarn-service: cannot listen on %s:%d\n", config.host.c_str(), config.port);
    return 3;
  }
  if (!config.readyFile.empty() && !WriteFileAtomic(config.readyFile, std::to_string(port) + "\n", error)) {
    std::fprintf(stderr, "tarn-service: %s\n", error.c_str());
    return 2;
  }
  std::fprintf(stderr, "tarn-service: serving %s on http://%s:%d\n", config.site.c_str(), config.host.c_str(), port);

  std::thread stopper([&server, stopSignals] {
    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);
    server.stop();
  });
  const bool clean = server.listen_after_bind();
  // When listening ended on its own, wake the stopper so it can be joined.
  if (stopper.joinable()) {
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
  }
  return clean ? 0 : 1;
}

}  // namespace tarn::tools

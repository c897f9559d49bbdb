// The WinHTTP transport's own promises beyond what the account and
// download tests use: a redirect comes back as it is, plain HTTP goes to
// this machine only, and the overall limit ends an exchange that never
// stalls long enough for the others.
#include <gtest/gtest.h>
#include <winsock2.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/http.h"
#include "platform/thread.h"
#include "support/service_fixture.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

using Clock = std::chrono::steady_clock;

struct Reply {
  uint32_t status = 0;
  HttpEnd end = HttpEnd::Failed;
  std::string body;
  int64_t retryAfter = -2;  // the head's; -2 without a head
  std::string reason;
};

// A GET of target from host:port, as the launcher sends it.
HttpRequest RequestTo(uint16_t port, const std::string& target = "/", const std::string& host = "127.0.0.1") {
  HttpRequest request;
  request.host = host;
  request.port = port;
  request.method = "GET";
  request.target = target;
  request.userAgent = "TarnLauncher/1.0";
  return request;
}

Reply Get(uint16_t port, const std::string& target, int totalMs = 0, const std::string& host = "127.0.0.1") {
  HttpRequest request = RequestTo(port, target, host);
  request.timeouts.totalMs = totalMs;
  Reply reply;
  HttpSink sink;
  sink.head = [&](const HttpHead& head) {
    reply.retryAfter = head.retryAfterSeconds;
    return true;
  };
  sink.body = [&](std::string_view bytes) {
    reply.body.append(bytes);
    return true;
  };
  const HttpResult result = SendHttpRequest(request, sink);
  reply.status = result.status;
  reply.end = result.end;
  reply.reason = result.reason;
  return reply;
}

// A listening socket on 127.0.0.1 and a port the system picks (Winsock
// started; the caller's WSACleanup ends it).
SOCKET ListenOnLoopback(uint16_t& port) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listener, 4);
  int size = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
  port = ntohs(address.sin_port);
  return listener;
}

// Answers every connection with a redirect to an address that must never
// be asked for (or with the answer given), and counts what arrives; keeps
// the first request's line.
class RedirectingServer {
 public:
  explicit RedirectingServer(std::string given = {}) {
    listener_ = ListenOnLoopback(port_);
    thread_ = std::thread([this, given] {
      for (;;) {
        const SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) return;
        char buffer[4096];
        const int got = recv(client, buffer, sizeof buffer, 0);
        if (connections_++ == 0 && got > 0) {
          std::lock_guard lock(mutex_);
          const std::string head(buffer, static_cast<size_t>(got));
          firstLine_ = head.substr(0, head.find("\r\n"));
        }
        const std::string answer = !given.empty() ? given
                                                  : "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:" +
                                                        std::to_string(port_) +
                                                        "/elsewhere\r\nContent-Length: 5\r\nConnection: close\r\n\r\nmoved";
        send(client, answer.data(), static_cast<int>(answer.size()), 0);
        shutdown(client, SD_SEND);
        closesocket(client);
      }
    });
  }
  ~RedirectingServer() {
    closesocket(listener_);
    thread_.join();
    WSACleanup();
  }
  uint16_t port() const { return port_; }
  int connections() const { return connections_; }
  std::string firstLine() const {
    std::lock_guard lock(mutex_);
    return firstLine_;
  }

 private:
  SOCKET listener_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::string firstLine_;
  std::thread thread_;
};

// Answers every request on a connection with "ok" and keeps it open, each
// connection on a thread of its own; counts the connections.
class KeepingServer {
 public:
  KeepingServer() {
    listener_ = ListenOnLoopback(port_);
    acceptor_ = std::thread([this] {
      for (;;) {
        const SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) return;
        std::lock_guard lock(mutex_);
        clients_.push_back(client);
        served_.emplace_back([this, client] {
          // Wine wakes no recv for a shutdown from another thread: short
          // waits, and the stop flag between them.
          const DWORD slice = 100;
          setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&slice), sizeof slice);
          std::string seen;
          char buffer[4096];
          while (!stopping_) {
            const int got = recv(client, buffer, sizeof buffer, 0);
            if (got == SOCKET_ERROR && WSAGetLastError() == WSAETIMEDOUT) continue;
            if (got <= 0) return;
            seen.append(buffer, static_cast<size_t>(got));
            for (size_t end; (end = seen.find("\r\n\r\n")) != std::string::npos; seen.erase(0, end + 4)) {
              const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
              send(client, answer.data(), static_cast<int>(answer.size()), 0);
            }
          }
        });
      }
    });
  }
  ~KeepingServer() {
    stopping_ = true;
    closesocket(listener_);
    acceptor_.join();
    std::lock_guard lock(mutex_);
    for (std::thread& t : served_) t.join();
    for (const SOCKET client : clients_) closesocket(client);
    WSACleanup();
  }
  uint16_t port() const { return port_; }
  size_t connections() {
    std::lock_guard lock(mutex_);
    return clients_.size();
  }

 private:
  SOCKET listener_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<SOCKET> clients_;     // guarded by mutex_
  std::vector<std::thread> served_;  // guarded by mutex_
};

// Over a distant line a new connection costs a round trip (over TLS, more)
// before the request leaves: a thread's kept requests go out one after
// another on its kept session and share one connection.
TEST(WinHttpTransport, AThreadsKeptRequestsShareOneConnection) {
  KeepingServer server;
  HttpRequest request = RequestTo(server.port());
  request.keepConnection = true;
  std::string body;
  HttpSink sink;
  sink.body = [&](std::string_view bytes) {
    body.append(bytes);
    return true;
  };
  for (int i = 0; i < 3; ++i) EXPECT_EQ(SendHttpRequest(request, sink).end, HttpEnd::Complete) << i;
  EXPECT_EQ(body, "okokok");
  EXPECT_EQ(server.connections(), 1u);
  // Whether a request without keepConnection, or another thread's, gets a
  // connection of its own is WinHTTP's to say: Windows pools connections per
  // session, Wine for the whole process.
  ReleaseThreadState();
}

TEST(WinHttpTransport, ARedirectIsAnsweredNotFollowed) {
  RedirectingServer server;
  const Reply reply = Get(server.port(), "/start");
  EXPECT_EQ(reply.status, 302u);
  EXPECT_EQ(reply.end, HttpEnd::Complete);
  EXPECT_EQ(reply.body, "moved");
  EXPECT_EQ(reply.reason, "ответ 302 переадресует на http://127.0.0.1:" + std::to_string(server.port()) +
                              "; переадресации не выполняются");
  EXPECT_EQ(server.connections(), 1);
}

TEST(WinHttpTransport, PlainHttpGoesToThisMachineOnly) {
  RedirectingServer server;
  // Each of these spellings reaches the listener on 127.0.0.1, but none is
  // plainly this machine: no request sends a byte in clear to them,
  // ranged and kept-connection ones included.
  for (const char* host : {"0.0.0.0", "127.1", "127.0.0.01"}) {
    const Reply refused = Get(server.port(), "/", 0, host);
    EXPECT_EQ(refused.status, 0u) << host;
    EXPECT_EQ(refused.reason, kRefusedInClearReason) << host;
    HttpRequest request = RequestTo(server.port(), "/", host);
    request.rangeFrom = 5;
    request.keepConnection = true;
    const HttpResult result = SendHttpRequest(request, {});
    EXPECT_EQ(result.status, 0u) << host;
    EXPECT_EQ(result.end, HttpEnd::Failed) << host;
    EXPECT_EQ(result.reason, kRefusedInClearReason) << host;
  }
  EXPECT_EQ(server.connections(), 0);
  EXPECT_EQ(Get(server.port(), "/").status, 302u);
  EXPECT_EQ(server.connections(), 1);
}

TEST(WinHttpTransport, OnlyANamedProxyCarriesARequestAsATunnelAndItsRefusalIsNoAnswer) {
  RedirectingServer proxy("HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n"
                          "Connection: close\r\n\r\n");
  RedirectingServer server;
  HttpRequest request = RequestTo(server.port());
  request.proxy = "http://127.0.0.1:" + std::to_string(proxy.port());
  // This machine is reached directly even when a proxy is named.
  EXPECT_EQ(SendHttpRequest(request, {}).status, 302u);
  EXPECT_EQ(proxy.connections(), 0);
  request.host = "tarn.test";
  request.port = 8443;
  request.secure = true;
  const HttpResult refused = SendHttpRequest(request, {});
  EXPECT_EQ(refused.status, 0u);
  EXPECT_EQ(refused.end, HttpEnd::Failed);
  // Windows hands the proxy's 407 back as the answer, which must not pass
  // for the service's; Wine fails the send instead, with nothing to tell.
  const std::string told = "прокси " + request.proxy + " не открыл соединение (ответ 407)";
  EXPECT_TRUE(refused.reason.empty() || refused.reason == told) << refused.reason;
  EXPECT_EQ(proxy.firstLine(), "CONNECT tarn.test:8443 HTTP/1.1");
}

TEST(WinHttpTransport, TheOverallLimitEndsSlowAnswersWithNoStatus) {
  test::TempDir dir;
  std::string content(20000, 'x');
  test::WriteFile(dir.path() / "site" / "client" / "data.bin", content);
  test::ServiceProcess service;
  test::ServiceOptions options;
  options.site = dir.path() / "site";
  options.port = 0;
  options.args = {"--throttle", "4000"};
  ASSERT_TRUE(service.Start(options)) << service.error();
  const auto port = static_cast<uint16_t>(service.port());

  // The body trickles in far longer than the limit: it is cut where the
  // limit fell, and the answer counts as none, as on every backend (a
  // caller with an overall limit wants the whole answer in time or nothing).
  auto start = Clock::now();
  Reply reply = Get(port, test::FileTarget("data.bin"), 1000);
  EXPECT_EQ(reply.status, 0u);
  EXPECT_EQ(reply.end, HttpEnd::Failed);
  EXPECT_FALSE(reply.body.empty()) << "a status and bytes did arrive before the limit";
  EXPECT_LT(reply.body.size(), content.size());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));

  // No answer at all within the limit: no status.
  ASSERT_TRUE(service.SetFaults("--delay 5000"));
  start = Clock::now();
  reply = Get(port, "/api/news", 500);
  EXPECT_EQ(reply.status, 0u);
  EXPECT_EQ(reply.end, HttpEnd::Failed);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

// WinHTTP hands over a refusal's Retry-After in either form.
TEST(WinHttpTransport, ARefusalsRetryAfterReachesTheHead) {
  test::TempDir dir;
  test::WriteFile(dir.path() / "site" / "client" / "data.bin", "x");
  test::ServiceProcess service;
  test::ServiceOptions options;
  options.site = dir.path() / "site";
  options.port = 0;
  options.args = {"--status", "/api/news=503", "--retry-after", "7"};
  ASSERT_TRUE(service.Start(options)) << service.error();
  const auto port = static_cast<uint16_t>(service.port());
  Reply reply = Get(port, "/api/news");
  EXPECT_EQ(reply.status, 503u);
  EXPECT_EQ(reply.retryAfter, 7);
  EXPECT_EQ(Get(port, test::FileTarget("data.bin")).retryAfter, -1);

  ASSERT_TRUE(service.SetFaults("--status /api/news=503 --retry-after \"Sun, 06 Nov 1994 08:49:37 GMT\""));
  EXPECT_EQ(Get(port, "/api/news").retryAfter, 0);  // a date gone by
}

}  // namespace
}  // namespace tarn

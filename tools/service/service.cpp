#include "tools/service/service.h"

#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "tools/common/site.h"
#include "tools/service/access_log.h"
#include "tools/service/account_api.h"
#include "tools/service/answer.h"
#include "tools/service/fault_answers.h"
#include "tools/service/file_server.h"

namespace tarn::tools {
namespace {

// Whether the current thread's request was counted as in flight. The
// server answers a connection on one thread, from routing to the log line.
thread_local bool tInFlight = false;

// The service as a whole: the access log, the faults before routing, the
// account service and the file server, and the /control endpoints tests
// use.
class Service {
 public:
  explicit Service(const ServiceConfig& config)
      : config_(config), accounts_(config.site, config.ticketTtlSeconds), files_(config.site, faults_) {
    faults_.Replace(config.faults);
  }

  bool Setup(httplib::Server& server, std::string& error) {
    if (!log_.Open(config_.accessLog)) {
      error = "cannot open the access log " + config_.accessLog;
      return false;
    }
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      return PreRoute(req, res);
    });
    server.set_logger([this](const httplib::Request& req, const httplib::Response& res) { Logged(req, res); });
    accounts_.Route(server);
    files_.Route(server);
    if (config_.control) RouteControl(server);
    return true;
  }

 private:
  httplib::Server::HandlerResponse PreRoute(const httplib::Request& req, httplib::Response& res) {
    ResetBodyBytes();
    if (req.path.starts_with("/control/")) return httplib::Server::HandlerResponse::Unhandled;
    {
      std::lock_guard guard(flightLock_);
      ++inFlight_;
      tInFlight = true;
    }
    return AnswerInjectedFault(faults_, req, res) ? httplib::Server::HandlerResponse::Handled
                                                  : httplib::Server::HandlerResponse::Unhandled;
  }

  // Called once the last byte of an answer went out.
  void Logged(const httplib::Request& req, const httplib::Response& res) {
    const uint64_t bytes = TakeBodyBytes();
    if (!req.path.starts_with("/control/")) log_.Write(req, res.status, bytes);
    if (tInFlight) {
      tInFlight = false;
      std::lock_guard guard(flightLock_);
      --inFlight_;
      flightDone_.notify_all();
    }
  }

  void RouteControl(httplib::Server& server) {
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

  const ServiceConfig& config_;
  AccessLog log_;
  FaultState faults_;
  AccountApi accounts_;
  FileServer files_;
  std::mutex flightLock_;
  std::condition_variable flightDone_;
  int inFlight_ = 0;
};

// Signals are taken by one thread with sigwait, so that stopping the
// server happens on an ordinary thread and not inside a signal handler.
sigset_t BlockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return stopSignals;
}

// The listening socket; TuneServer's options see it before it is bound.
void TuneServer(httplib::Server& server, int& listener) {
  // Address reuse only: a restart must not wait for the last run's closed
  // connections to time out, but a second service must not share the port
  // (the library's default, port reuse, would let it).
  server.set_socket_options([&listener](socket_t sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listener = sock;
  });
  // Each connection holds a thread while it is open, and a throttled or
  // delayed answer holds it for long: more threads than the library's few,
  // so that a test's parallel tasks do not wait in line for each other.
  server.new_task_queue = [] { return new httplib::ThreadPool(32); };
  // Headers and body go out in separate writes; without this a client that
  // delays its acknowledgements would stall every small answer.
  server.set_tcp_nodelay(true);
  // The library closes a kept connection after five requests; a launcher
  // fetching hundreds of small files would pay a new connection for every
  // fifth. nginx's default is a thousand.
  server.set_keep_alive_max_count(1000);
}

// The port now listened on, or -1.
int Bind(httplib::Server& server, const ServiceConfig& config, const int& listener) {
  const int port = config.port == 0 ? server.bind_to_any_port(config.host)
                                    : (server.bind_to_port(config.host, config.port) ? config.port : -1);
  // The library listens with a backlog of five. A launcher opens up to 16
  // connections at once, and each one past the queue loses its SYN and
  // waits a second for the retry; a real server's queue holds hundreds.
  // Listening again only changes the queue's length.
  if (port >= 0 && listener >= 0) ::listen(listener, SOMAXCONN);
  return port;
}

// Serves until a stop signal arrives or listening ends on its own.
bool ServeUntilStopped(httplib::Server& server, const sigset_t& stopSignals) {
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
  return clean;
}

}  // namespace

int RunService(const ServiceConfig& config) {
  const sigset_t stopSignals = BlockStopSignals();
  std::error_code ec;
  if (!std::filesystem::is_directory(config.site, ec)) {
    std::fprintf(stderr, "tarn-service: no site folder %s\n", config.site.c_str());
    return 2;
  }
  httplib::Server server;
  int listener = -1;
  TuneServer(server, listener);
  Service service(config);
  std::string error;
  if (!service.Setup(server, error)) {
    std::fprintf(stderr, "tarn-service: %s\n", error.c_str());
    return 2;
  }
  const int port = Bind(server, config, listener);
  if (port < 0) {
    std::fprintf(stderr, "tarn-service: cannot listen on %s:%d\n", config.host.c_str(), config.port);
    return 3;
  }
  if (!config.readyFile.empty() && !WriteFileAtomic(config.readyFile, std::to_string(port) + "\n", error)) {
    std::fprintf(stderr, "tarn-service: %s\n", error.c_str());
    return 2;
  }
  std::fprintf(stderr, "tarn-service: serving %s on http://%s:%d\n", config.site.c_str(), config.host.c_str(), port);
  return ServeUntilStopped(server, stopSignals) ? 0 : 1;
}

}  // namespace tarn::tools

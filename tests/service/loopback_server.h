#pragma once
// A scripted HTTP server on the loopback interface: it records every
// request exactly as it arrived and answers with whatever bytes the test
// hands it, which lets tests produce answers no well-behaved server would
// (a body cut short, a status line that is not HTTP, a stall).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tarn::test {

struct SeenRequest {
  std::string method;
  std::string target;
  std::string head;  // request line and header lines, CR LF kept
  std::string body;
  // The value of the first header of that name (case-insensitive); found
  // tells whether there was one at all.
  std::string Header(std::string_view name, bool* found = nullptr) const;
};

// What to send back: raw bytes, then optionally a pause with the
// connection open, before it is closed.
struct Answer {
  std::string bytes;
  std::chrono::milliseconds holdOpen{0};
  std::chrono::milliseconds delay{0};  // before the first byte
};

// A complete answer with Content-Length and Connection: close.
Answer Reply(int status, std::string_view body, std::string_view extraHeaders = {});

class LoopbackServer {
 public:
  using Handler = std::function<Answer(const SeenRequest&)>;

  // Listens on 127.0.0.1:port (0 picks a free port). A busy fixed port is
  // retried for a while, since another test program may be releasing it.
  explicit LoopbackServer(Handler handler, uint16_t port = 0);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  bool listening() const { return listenFd_ >= 0; }
  uint16_t port() const { return port_; }
  std::vector<SeenRequest> requests() const;

 private:
  void AcceptLoop();
  void Serve(int fd);

  Handler handler_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::vector<SeenRequest> requests_;
  std::vector<std::thread> workers_;
};

// A port on which nothing listens (taken from the system and released).
uint16_t UnusedPort();

}  // namespace tarn::test

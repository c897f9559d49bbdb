#pragma once
// A scripted HTTP server on the loopback interface: it records every
// request as it arrived and answers with whatever the test hands it, which
// lets tests produce answers no well-behaved server would (a body cut
// short or never ending, a Content-Range that starts elsewhere, a status
// line that is not HTTP, a stall). POSIX sockets: Linux only.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bridge/context.h"
#include "support/service_launcher.h"

namespace tarn::test {

struct SeenRequest {
  std::string method;
  std::string target;
  std::string head;  // request line and header lines, CR LF kept
  std::string body;
  bool hasRange = false;
  std::string range;  // the Range header's value
  // The value of the first header of that name (case-insensitive); found
  // tells whether there was one at all.
  std::string Header(std::string_view name, bool* found = nullptr) const;
};

// One answer. The head (status line and header lines, each ending in CR
// LF) goes first, then "Connection: close" and the blank line, unless raw;
// then the body in pieces.
struct Reply {
  std::string head;
  std::string body;
  bool raw = false;                     // head is every byte to send, as it stands
  size_t cutAfter = std::string::npos;  // close after this many body bytes
  bool endless = false;                 // repeat the body until the client leaves
  size_t pieceBytes = 65536;            // body bytes per send
  std::chrono::milliseconds pause{0};   // between two pieces
  std::chrono::milliseconds delay{0};     // before the first byte
  std::chrono::milliseconds holdOpen{0};  // after the last byte, connection open
  // Called after each piece with the body bytes sent so far.
  std::function<void(uint64_t sent)> afterPiece;
  // No "Connection: close": after a whole body the connection waits for
  // the next request.
  bool keepOpen = false;

  Reply() = default;
  // A complete answer with Content-Length.
  Reply(int status, std::string_view body, std::string_view extraHeaders = {});
  // These bytes and nothing else, then the connection held open a while.
  Reply(std::string rawBytes, std::chrono::milliseconds holdOpenFor = {});
};
using Answer = Reply;

class LoopbackServer {
 public:
  using Handler = std::function<Reply(const SeenRequest&)>;

  // Listens on 127.0.0.1:port (0 picks a free port). A busy fixed port is
  // retried for a while, since another test program may be releasing it.
  // Each connection is served on a thread of its own, one request each
  // unless the answer keeps it open.
  explicit LoopbackServer(Handler handler, uint16_t port = 0);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  bool listening() const { return listenFd_ >= 0; }
  uint16_t port() const { return port_; }
  std::vector<SeenRequest> requests() const;
  uint64_t bodyBytesSent() const { return bodyBytes_.load(); }
  // Connections accepted so far.
  int connections() const { return connections_.load(); }

 private:
  void AcceptLoop();
  void Serve(int fd);
  // True when the whole answer went out.
  bool Send(int fd, const Reply& reply);

  Handler handler_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> bodyBytes_{0};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::vector<SeenRequest> requests_;
  std::vector<std::thread> workers_;
};

// A server on a free port that the core's in-process requests go to while
// it lives (see LoopbackEndpoint: host slots installed before are dropped).
class ScriptedServer : public LoopbackServer {
 public:
  ScriptedServer(LauncherContext& ctx, Handler handler);

 private:
  LoopbackEndpoint endpoint_;
};

// A port on which nothing listens (taken from the system and released).
uint16_t UnusedPort();

// The head of an answer: status line, Content-Length when given (>= 0).
std::string Head(int status, int64_t contentLength, const std::string& extraLines = {});

// A file answer with exact range rules: 200 without Range, 206 with a
// Content-Range from the asked offset to the asked last byte (or the end),
// 416 at or past the end.
Reply FileReply(const std::string& content, const SeenRequest& request);

}  // namespace tarn::test

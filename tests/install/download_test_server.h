#pragma once
// A loopback HTTP server on the service port whose every answer is written
// by the test, byte for byte: the faults the downloader must survive (a
// Content-Range that starts elsewhere, a body that never ends, a status line
// that is not HTTP) are ones a well-behaved server cannot be told to commit.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarn::test {

struct SeenRequest {
  std::string target;
  bool hasRange = false;
  std::string range;  // the Range header's value
};

struct Reply {
  std::string head;  // status line and header lines, each ending in CR LF
  std::string body;
  size_t cutAfter = std::string::npos;  // close after this many body bytes
  bool endless = false;                 // repeat the body until the client leaves
  size_t pieceBytes = 65536;            // body bytes per send
  std::chrono::milliseconds pause{0};   // between two pieces
  // Called after each piece with the body bytes sent so far.
  std::function<void(uint64_t sent)> afterPiece;
  // Leaves the connection open after a whole body for the next request.
  bool keepOpen = false;
};

class ScriptedServer {
 public:
  using Handler = std::function<Reply(const SeenRequest&)>;
  explicit ScriptedServer(Handler handler);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  bool listening() const { return listenFd_ >= 0; }
  std::vector<SeenRequest> requests() const;
  uint64_t bodyBytesSent() const { return bodyBytes_.load(); }
  // Connections accepted so far.
  int connections() const { return connections_.load(); }

 private:
  void Serve();
  // True when the connection stays open for another request.
  bool Answer(int fd);

  Handler handler_;
  int listenFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> bodyBytes_{0};
  std::atomic<int> connections_{0};
  mutable std::mutex lock_;
  std::vector<SeenRequest> requests_;
  std::thread thread_;
};

// A file answer with exact range rules: 200 without Range, 206 with a
// Content-Range from the asked offset, 416 at or past the end.
Reply FileReply(const std::string& content, const SeenRequest& request);

// The head of an answer: status line, Content-Length when given (>= 0).
std::string Head(int status, int64_t contentLength, const std::string& extraLines = {});

}  // namespace tarn::test

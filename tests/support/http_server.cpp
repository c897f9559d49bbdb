#include "support/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tarn::test {
namespace {

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

int Bind(uint16_t port, uint16_t& bound) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  bound = ntohs(addr.sin_port);
  return fd;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace

std::string SeenRequest::Header(std::string_view name, bool* found) const {
  const std::string want = Lower(name) + ":";
  size_t start = head.find("\r\n");
  while (start != std::string::npos && start + 2 < head.size()) {
    start += 2;
    const size_t end = head.find("\r\n", start);
    const std::string line = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (Lower(line).rfind(want, 0) == 0) {
      if (found) *found = true;
      size_t v = want.size();
      while (v < line.size() && line[v] == ' ') ++v;
      return line.substr(v);
    }
    start = end;
  }
  if (found) *found = false;
  return {};
}

Reply::Reply(int status, std::string_view text, std::string_view extraHeaders)
    : head(Head(status, static_cast<int64_t>(text.size()), std::string(extraHeaders))), body(text) {}

Reply::Reply(std::string rawBytes, std::chrono::milliseconds holdOpenFor)
    : head(std::move(rawBytes)), raw(true), holdOpen(holdOpenFor) {}

LoopbackServer::LoopbackServer(Handler handler, uint16_t port) : handler_(std::move(handler)) {
  for (int attempt = 0; attempt < 300 && listenFd_ < 0; ++attempt) {
    listenFd_ = Bind(port, port_);
    if (listenFd_ < 0 && port == 0) break;
    if (listenFd_ < 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (listenFd_ < 0) {
    ADD_FAILURE() << "cannot listen on 127.0.0.1:" << port << ": " << std::strerror(errno);
    return;
  }
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  if (listenFd_ >= 0) close(listenFd_);
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(mutex_);
    workers.swap(workers_);
  }
  for (std::thread& t : workers) t.join();
}

std::vector<SeenRequest> LoopbackServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void LoopbackServer::AcceptLoop() {
  while (!stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    std::lock_guard lock(mutex_);
    workers_.emplace_back([this, fd] { Serve(fd); });
  }
}

void LoopbackServer::Serve(int fd) {
  std::string in;
  char buf[65536];
  for (bool more = true; more;) {
    size_t headEnd = std::string::npos;
    size_t want = std::string::npos;
    // One request: read the head, then Content-Length bytes.
    int waitedMs = 0;
    while (want == std::string::npos || in.size() < want) {
      if (headEnd == std::string::npos && (headEnd = in.find("\r\n\r\n")) != std::string::npos) {
        SeenRequest probe;
        probe.head = in.substr(0, headEnd + 2);
        const std::string length = probe.Header("Content-Length");
        want = headEnd + 4 + (length.empty() ? 0 : std::strtoull(length.c_str(), nullptr, 10));
        continue;
      }
      pollfd p{fd, POLLIN, 0};
      const int ready = poll(&p, 1, 50);
      if (ready < 0 || stopping_) break;
      if (ready == 0) {
        if ((waitedMs += 50) >= 5000) break;
        continue;
      }
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      in.append(buf, static_cast<size_t>(n));
    }
    more = false;
    if (headEnd == std::string::npos) break;
    SeenRequest request;
    request.head = in.substr(0, headEnd + 2);
    request.body = in.substr(headEnd + 4, want == std::string::npos ? std::string::npos : want - headEnd - 4);
    const size_t sp1 = request.head.find(' ');
    const size_t sp2 = request.head.find(' ', sp1 + 1);
    request.method = request.head.substr(0, sp1);
    request.target = request.head.substr(sp1 + 1, sp2 - sp1 - 1);
    request.range = request.Header("Range", &request.hasRange);
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    const Reply reply = handler_(request);
    more = Send(fd, reply) && reply.keepOpen && !reply.raw && want != std::string::npos && in.size() >= want;
    if (more) in.erase(0, want);
  }
  shutdown(fd, SHUT_RDWR);
  close(fd);
}

bool LoopbackServer::Send(int fd, const Reply& reply) {
  std::this_thread::sleep_for(reply.delay);
  const std::string head =
      reply.raw ? reply.head : reply.head + (reply.keepOpen ? "\r\n" : "Connection: close\r\n\r\n");
  if (!SendAll(fd, head)) return false;
  uint64_t sent = 0;
  size_t at = 0;
  for (;;) {
    if (stopping_) return false;
    if (at == reply.body.size()) {
      if (!reply.endless || reply.body.empty()) break;
      at = 0;
    }
    size_t piece = std::min(reply.pieceBytes, reply.body.size() - at);
    if (reply.cutAfter != std::string::npos) {
      if (sent >= reply.cutAfter) break;
      piece = std::min<size_t>(piece, reply.cutAfter - sent);
    }
    if (!SendAll(fd, std::string_view(reply.body).substr(at, piece))) return false;
    at += piece;
    sent += piece;
    bodyBytes_ += piece;
    if (reply.afterPiece) reply.afterPiece(sent);
    if (reply.pause.count() > 0) std::this_thread::sleep_for(reply.pause);
  }
  std::this_thread::sleep_for(reply.holdOpen);
  return reply.cutAfter == std::string::npos && !reply.endless;
}

ScriptedServer::ScriptedServer(LauncherContext& ctx, Handler handler)
    : LoopbackServer(std::move(handler)), endpoint_(ctx, port()) {}

uint16_t UnusedPort() {
  uint16_t port = 0;
  const int fd = Bind(0, port);
  if (fd >= 0) close(fd);
  return port;
}

std::string Head(int status, int64_t contentLength, const std::string& extraLines) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " X\r\n";
  if (contentLength >= 0) head += "Content-Length: " + std::to_string(contentLength) + "\r\n";
  return head + extraLines;
}

Reply FileReply(const std::string& content, const SeenRequest& request) {
  Reply reply;
  if (!request.hasRange) {
    reply.head = Head(200, static_cast<int64_t>(content.size()));
    reply.body = content;
    return reply;
  }
  // The "bytes=N-" and "bytes=N-M" forms the downloader sends.
  char* end = nullptr;
  const uint64_t from = std::strtoull(request.range.c_str() + 6, &end, 10);
  if (from >= content.size()) {
    reply.head = Head(416, 0, "Content-Range: bytes */" + std::to_string(content.size()) + "\r\n");
    return reply;
  }
  uint64_t last = content.size() - 1;
  if (end && *end == '-' && end[1] != '\0') last = std::min<uint64_t>(last, std::strtoull(end + 1, nullptr, 10));
  reply.body = content.substr(from, last - from + 1);
  reply.head = Head(206, static_cast<int64_t>(reply.body.size()),
                    "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(last) + "/" +
                        std::to_string(content.size()) + "\r\n");
  return reply;
}

}  // namespace tarn::test

#include "install/download_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>

namespace tarn::test {
namespace {

constexpr uint16_t kPort = 8090;

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

ScriptedServer::ScriptedServer(Handler handler) : handler_(std::move(handler)) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0) {
    ADD_FAILURE() << "cannot listen on 127.0.0.1:" << kPort << ": " << std::strerror(errno);
    close(fd);
    return;
  }
  listenFd_ = fd;
  thread_ = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) close(listenFd_);
}

std::vector<SeenRequest> ScriptedServer::requests() const {
  std::lock_guard lock(lock_);
  return requests_;
}

void ScriptedServer::Serve() {
  while (!stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    while (Answer(fd)) {
    }
    close(fd);
  }
}

bool ScriptedServer::Answer(int fd) {
  std::string text;
  char buf[4096];
  int waited = 0;
  while (text.find("\r\n\r\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, 50);
    if (ready < 0 || stopping_) return false;
    if (ready == 0) {
      if ((waited += 50) >= 2000) return false;
      continue;
    }
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    text.append(buf, static_cast<size_t>(n));
  }
  SeenRequest seen;
  const size_t sp1 = text.find(' ');
  const size_t sp2 = text.find(' ', sp1 + 1);
  seen.target = text.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string lower = Lower(text);
  const size_t range = lower.find("\r\nrange:");
  if (range != std::string::npos) {
    seen.hasRange = true;
    const size_t start = text.find_first_not_of(' ', range + 8);
    seen.range = text.substr(start, text.find("\r\n", start) - start);
  }
  {
    std::lock_guard lock(lock_);
    requests_.push_back(seen);
  }
  const Reply reply = handler_(seen);
  const std::string head = reply.head + (reply.keepOpen ? "\r\n" : "Connection: close\r\n\r\n");
  if (!SendAll(fd, head.data(), head.size())) return false;
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
    if (!SendAll(fd, reply.body.data() + at, piece)) return false;
    at += piece;
    sent += piece;
    bodyBytes_ += piece;
    if (reply.afterPiece) reply.afterPiece(sent);
    if (reply.pause.count() > 0) std::this_thread::sleep_for(reply.pause);
  }
  if (reply.keepOpen && reply.cutAfter == std::string::npos && !reply.endless) return true;
  shutdown(fd, SHUT_WR);
  return false;
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
  // Only the "bytes=N-" form the downloader sends.
  const uint64_t from = std::strtoull(request.range.c_str() + 6, nullptr, 10);
  if (from >= content.size()) {
    reply.head = Head(416, 0, "Content-Range: bytes */" + std::to_string(content.size()) + "\r\n");
    return reply;
  }
  reply.body = content.substr(from);
  reply.head = Head(206, static_cast<int64_t>(reply.body.size()),
                    "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(content.size() - 1) + "/" +
                        std::to_string(content.size()) + "\r\n");
  return reply;
}

}  // namespace tarn::test

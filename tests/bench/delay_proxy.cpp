// A TCP proxy on loopback that behaves like a distant line: every byte
// arrives half a round trip after it was sent, and each direction carries
// at most the given rate, shared by every connection (one link, as a
// household's line is). For benchmarks of the downloader against a real
// network's round trips; never used by a test.
//
//   tarn-delay-proxy --listen PORT --to PORT [--rtt-ms N] [--mbit N]
//
// Runs until killed. Each connection gets its own connection to the target
// on 127.0.0.1; a direction holds at most twice the line's bandwidth-delay
// product (and 256 KiB at least) in flight, so a sender feels the line's pace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Line {
  Clock::duration oneWay{};
  double bytesPerSecond = 0;  // 0: no limit
  size_t inFlightBytes = 256 * 1024;
};

// One direction of the line: when its next byte may leave, shared by all
// connections.
struct Link {
  std::mutex lock;
  Clock::time_point free{};
};

// One direction of one connection.
class Pipe {
 public:
  Pipe(int from, int to, const Line& line, Link& link) : from_(from), to_(to), line_(line), link_(link) {}

  void Run() {
    std::thread writer([this] { Write(); });
    char buffer[65536];
    for (;;) {
      {
        std::unique_lock lock(lock_);
        room_.wait(lock, [this] { return held_ < line_.inFlightBytes; });
      }
      const ssize_t n = read(from_, buffer, sizeof buffer);
      std::lock_guard lock(lock_);
      if (n <= 0) {
        ended_ = true;
        ready_.notify_one();
        break;
      }
      queue_.push_back({Clock::now() + line_.oneWay, std::string(buffer, static_cast<size_t>(n))});
      held_ += static_cast<size_t>(n);
      ready_.notify_one();
    }
    writer.join();
    shutdown(to_, SHUT_WR);
  }

 private:
  struct Piece {
    Clock::time_point due;
    std::string bytes;
  };

  void Write() {
    for (;;) {
      Piece piece;
      {
        std::unique_lock lock(lock_);
        ready_.wait(lock, [this] { return ended_ || !queue_.empty(); });
        if (queue_.empty()) return;
        piece = std::move(queue_.front());
        queue_.pop_front();
      }
      // The piece leaves once it has crossed the line and the line is free
      // of everyone's earlier bytes.
      Clock::time_point at = piece.due;
      if (line_.bytesPerSecond > 0) {
        std::lock_guard lock(link_.lock);
        at = std::max(at, link_.free);
        link_.free = at + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                              static_cast<double>(piece.bytes.size()) / line_.bytesPerSecond));
      }
      std::this_thread::sleep_until(at);
      size_t sent = 0;
      while (sent < piece.bytes.size()) {
        const ssize_t n = send(to_, piece.bytes.data() + sent, piece.bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
          // The other side left: the reader stops too.
          shutdown(from_, SHUT_RD);
          std::lock_guard lock(lock_);
          held_ = 0;
          room_.notify_one();
          return;
        }
        sent += static_cast<size_t>(n);
      }
      std::lock_guard lock(lock_);
      held_ -= piece.bytes.size();
      room_.notify_one();
    }
  }

  int from_;
  int to_;
  const Line& line_;
  Link& link_;
  std::mutex lock_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<Piece> queue_;
  size_t held_ = 0;
  bool ended_ = false;
};

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  int listenPort = 0, toPort = 0;
  double rttMs = 40, mbit = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--listen") listenPort = std::atoi(value);
    else if (flag == "--to") toPort = std::atoi(value);
    else if (flag == "--rtt-ms") rttMs = std::atof(value);
    else if (flag == "--mbit") mbit = std::atof(value);
  }
  if (listenPort <= 0 || toPort <= 0) {
    std::fprintf(stderr, "usage: tarn-delay-proxy --listen PORT --to PORT [--rtt-ms N] [--mbit N]\n");
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  static Line line;
  line.oneWay = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(rttMs / 2));
  line.bytesPerSecond = mbit * 1e6 / 8;
  line.inFlightBytes = std::max<size_t>(256 * 1024, static_cast<size_t>(2 * line.bytesPerSecond * rttMs / 1000));
  static Link down, up;

  const int server = socket(AF_INET, SOCK_STREAM, 0);
  static const int yes = 1;
  setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(listenPort));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(server, 128) != 0) {
    std::perror("tarn-delay-proxy: listen");
    return 1;
  }
  for (;;) {
    const int client = accept(server, nullptr, nullptr);
    if (client < 0) continue;
    std::thread([client, toPort] {
      // The connection itself costs a round trip, as a handshake does.
      std::this_thread::sleep_for(2 * line.oneWay);
      const int target = Connect(toPort);
      if (target < 0) {
        close(client);
        return;
      }
      for (const int fd : {client, target}) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
      Pipe request(client, target, line, up);
      Pipe answer(target, client, line, down);
      std::thread back([&answer] { answer.Run(); });
      request.Run();
      back.join();
      close(client);
      close(target);
    }).detach();
  }
}

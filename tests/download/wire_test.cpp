// The speed limit as the network sees it: what the kernel's sockets took
// in, not what the launcher read from them. A connection that holds more
// than the launcher reads runs ahead of the limit and, when a stop closes
// it, throws away what it held, which the next run asks for again.
#include <arpa/inet.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "download/fetch_workers.h"
#include "download/limiter.h"
#include "download/session.h"
#include "support/service_launcher.h"
#include "support/temp_dir.h"
#include "tools/common/crypto.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using tools::Md5Hex;

std::string Random(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(gen());
  return bytes;
}

// Bytes of this socket's sending that the other side's kernel acknowledged.
uint64_t AckedBytes(int fd) {
  tcp_info info{};
  socklen_t len = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return 0;
  return info.tcpi_bytes_acked;
}

// A file server on the loopback that keeps its connections open between
// requests, answers ranges, and counts what the launcher's kernel took in
// (TCP_INFO's acknowledged bytes, less the heads). Its own send buffer is
// small, so what the launcher did not take waits here, uncounted.
class MeteredServer {
 public:
  // pace: the most it sends a second; 0 for as fast as it is taken.
  explicit MeteredServer(std::string file, uint64_t pace = 0) : file_(std::move(file)), pace_(pace) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_, 64) != 0 ||
        getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      ADD_FAILURE() << "cannot listen";
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~MeteredServer() {
    stopping_ = true;
    acceptor_.join();
    for (std::thread& t : served_) t.join();
    close(listen_);
  }
  uint16_t port() const { return port_; }
  int connections() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(conns_.size());
  }
  // Body bytes the launcher's kernel has taken in so far, over the
  // connections from the first'th on.
  uint64_t BodyBytesTaken(size_t first = 0) {
    std::lock_guard lock(mutex_);
    uint64_t sum = 0;
    for (size_t i = first; i < conns_.size(); ++i) {
      const Conn& c = *conns_[i];
      const uint64_t acked = c.fd >= 0 ? AckedBytes(c.fd) : c.finalAcked;
      sum += acked > c.headBytes ? acked - c.headBytes : 0;
    }
    return sum;
  }
  // Where the first answer on that connection started in the file.
  uint64_t FirstFrom(size_t connection) {
    std::lock_guard lock(mutex_);
    return connection < conns_.size() ? conns_[connection]->firstFrom : 0;
  }

 private:
  struct Conn {
    int fd = -1;
    uint64_t headBytes = 0;
    uint64_t finalAcked = 0;
    uint64_t firstFrom = UINT64_MAX;
  };

  void Accept() {
    while (!stopping_) {
      pollfd p{listen_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      const int small = 4096;
      setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
      auto conn = std::make_shared<Conn>();
      conn->fd = fd;
      {
        std::lock_guard lock(mutex_);
        conns_.push_back(conn);
      }
      served_.emplace_back([this, conn] { Serve(*conn); });
    }
  }

  bool SendAll(int fd, std::string_view bytes) {
    const auto begun = Clock::now();
    const size_t total = bytes.size();
    while (!bytes.empty() && !stopping_) {
      if (pace_ > 0)
        std::this_thread::sleep_until(begun + std::chrono::nanoseconds(static_cast<int64_t>(
                                                  static_cast<double>(total - bytes.size()) * 1e9 / pace_)));
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = send(fd, bytes.data(), std::min<size_t>(bytes.size(), 16384), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return bytes.empty();
  }

  void Serve(Conn& conn) {
    std::string in;
    char buf[4096];
    while (!stopping_) {
      const size_t end = in.find("\r\n\r\n");
      if (end == std::string::npos) {
        pollfd p{conn.fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = recv(conn.fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        in.append(buf, static_cast<size_t>(n));
        continue;
      }
      const std::string head = in.substr(0, end);
      in.erase(0, end + 4);
      uint64_t from = 0;
      if (const size_t r = head.find("Range: bytes="); r != std::string::npos) from = std::stoull(head.substr(r + 13));
      from = std::min<uint64_t>(from, file_.size());
      std::ostringstream answer;
      if (from == 0)
        answer << "HTTP/1.1 200 OK\r\n";
      else
        answer << "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " << from << "-" << file_.size() - 1 << "/"
               << file_.size() << "\r\n";
      answer << "Content-Length: " << file_.size() - from << "\r\n\r\n";
      {
        std::lock_guard lock(mutex_);
        conn.headBytes += answer.str().size();
        conn.firstFrom = std::min(conn.firstFrom, from);
      }
      if (!SendAll(conn.fd, answer.str()) || !SendAll(conn.fd, std::string_view(file_).substr(from))) break;
    }
    std::lock_guard lock(mutex_);
    conn.finalAcked = AckedBytes(conn.fd);
    close(conn.fd);
    conn.fd = -1;
  }

  std::string file_;
  uint64_t pace_;
  int listen_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::vector<std::thread> served_;  // the acceptor's own
  std::mutex mutex_;
  std::vector<std::shared_ptr<Conn>> conns_;  // guarded by mutex_
};

// Runs the test's downloads one after another on one thread, which keeps
// its connection from one to the next as a task's worker does.
class OneThread {
 public:
  OneThread() : thread_([this] { Loop(); }) {}
  ~OneThread() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    ready_.notify_one();
    thread_.join();
  }
  std::future<DownloadResult> Run(std::function<DownloadResult()> job) {
    std::packaged_task<DownloadResult()> task(std::move(job));
    std::future<DownloadResult> done = task.get_future();
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(task));
    }
    ready_.notify_one();
    return done;
  }

 private:
  void Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ready_.wait(lock, [this] { return quit_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      std::packaged_task<DownloadResult()> task = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::packaged_task<DownloadResult()>> jobs_;  // guarded by mutex_
  bool quit_ = false;                                       // guarded by mutex_
  std::thread thread_;  // last: starts once the rest is made
};

class WireLimit : public ::testing::Test {
 protected:
  // Fetches the file on the test's one downloading thread; the progress
  // callback's calls are timed.
  std::future<DownloadResult> Start(const std::string& target) {
    progressAt_.clear();
    return worker_.Run([this, target] {
      return DownloadFile(launcher_.download, "/big.pck", target, Md5Hex(file_), file_.size(), {pause_, stop_},
                          [this](uint64_t) { progressAt_.push_back(Clock::now()); });
    });
  }
  uint64_t Kept() const {
    const fs::path part = test::Utf8Path(target_ + ".part");
    return fs::exists(part) ? fs::file_size(part) : 0;
  }
  Launcher launcher_;
  LauncherContext& ctx_ = launcher_.context;
  test::TempDir dir_;
  std::string file_ = Random(6u << 20, 7);
  std::string target_ = test::PathUtf8(dir_.path() / "big.pck");
  std::atomic<bool> pause_{false};
  std::atomic<bool> stop_{false};
  std::vector<Clock::time_point> progressAt_;
  OneThread worker_;  // last: its downloads end before the rest goes
};

// One file under a low limit and then a higher one, on the connection a
// download without a limit left open: the kernel never takes in much more
// than the limit allows, the progress moves every second, and a stop loses
// little of what was sent.
TEST_F(WireLimit, SocketsTakeInNoMoreThanTheLimitAndAStopLosesLittle) {
  MeteredServer server(file_);
  test::LoopbackEndpoint endpoint(ctx_, server.port());
  // Without a limit the kernel's buffer grows with the transfer, and the
  // connection stays open for the thread's next file.
  EXPECT_EQ(Start(test::PathUtf8(dir_.path() / "first.pck")).get(), DownloadResult::Ok);
  ASSERT_EQ(server.connections(), 1);

  for (const uint64_t kibps : {32u, 256u}) {
    SetDownloadLimit(launcher_.download, kibps << 10);
    const uint64_t takenBefore = server.BodyBytesTaken();
    const uint64_t keptBefore = Kept();
    const auto begun = Clock::now();
    std::future<DownloadResult> done = Start(target_);
    std::this_thread::sleep_for(4s);
    const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
    const uint64_t taken = server.BodyBytesTaken() - takenBefore;
    // The limit over the time watched, and a tenth of ten seconds of it
    // for what the buffers and the limiter's own burst may hold.
    EXPECT_LE(taken, static_cast<uint64_t>(seconds * static_cast<double>(kibps << 10)) + (kibps << 10))
        << kibps << " KiB/s";
    EXPECT_GE(taken, (kibps << 10)) << "the transfer ran";
    stop_ = true;
    EXPECT_EQ(done.get(), DownloadResult::Stopped);
    stop_ = false;
    // Whatever the kernel took in and the ".part" file does not hold is
    // asked for again by the next run.
    const uint64_t sentTwice = server.BodyBytesTaken() - takenBefore - (Kept() - keptBefore);
    RecordProperty("taken_" + std::to_string(kibps), std::to_string(taken) + " in " + std::to_string(seconds) + " s");
    RecordProperty("sent_twice_" + std::to_string(kibps), std::to_string(sentTwice));
    EXPECT_LE(sentTwice, 256u << 10) << kibps << " KiB/s";
    ASSERT_GE(progressAt_.size(), 2u);
    for (size_t i = 1; i < progressAt_.size(); ++i)
      EXPECT_LE(progressAt_[i] - progressAt_[i - 1], 1s) << kibps << " KiB/s, progress " << i;
  }
  SetDownloadLimit(launcher_.download, 0);
  EXPECT_EQ(Start(target_).get(), DownloadResult::Ok);
  EXPECT_EQ(test::ReadFile(test::Utf8Path(target_)), file_);
}

// A limit set in the middle of a file: the connection made without one has
// a window the kernel grew, so the rest of the file comes on a new one,
// and from then on the kernel takes in no more than the limit, the
// progress moves every second and a stop loses little.
TEST_F(WireLimit, ALimitSetDuringAFileTakesHoldOnANewConnection) {
  MeteredServer server(file_, 1u << 20);
  test::LoopbackEndpoint endpoint(ctx_, server.port());
  std::future<DownloadResult> done = Start(target_);
  std::this_thread::sleep_for(1500ms);
  ASSERT_EQ(server.connections(), 1);
  constexpr uint64_t kLimit = 32u << 10;
  SetDownloadLimit(launcher_.download, kLimit);
  const auto limited = Clock::now();
  std::this_thread::sleep_for(4s);
  EXPECT_EQ(server.connections(), 2);
  const double seconds = std::chrono::duration<double>(Clock::now() - limited).count();
  EXPECT_LE(server.BodyBytesTaken(1), static_cast<uint64_t>(seconds * kLimit) + kLimit);
  stop_ = true;
  EXPECT_EQ(done.get(), DownloadResult::Stopped);
  // Everything the kernel took in and the ".part" file does not hold: what
  // the change of connection and the stop threw away.
  const uint64_t sentTwice = server.BodyBytesTaken() - Kept();
  RecordProperty("sent_twice", std::to_string(sentTwice));
  EXPECT_LE(sentTwice, 256u << 10);
  // From a moment after the change on: the reads that came before it
  // may each still wait for their share of the limit.
  std::vector<Clock::time_point> after;
  for (const Clock::time_point at : progressAt_)
    if (at > limited + 1s) after.push_back(at);
  ASSERT_GE(after.size(), 2u);
  for (size_t i = 1; i < after.size(); ++i) EXPECT_LE(after[i] - after[i - 1], 1s) << "progress " << i;
}

// Under a low limit a task's files go one at a time, since every extra
// connection is another buffer filling ahead of the reader; a raised limit
// lets more start at once, without waiting for a file to end.
TEST(WireLimitWorkers, ALowLimitRunsOneTransferAndARaisedOneMoreAtOnce) {
  Launcher launcher;
  SetDownloadLimit(launcher.download, 32u << 10);
  std::vector<std::string> targets;
  for (int i = 0; i < 12; ++i) targets.push_back("f" + std::to_string(i));
  std::atomic<bool> raised{false};
  std::atomic<int> running{0}, mostLow{0}, mostHigh{0};
  std::atomic<Clock::rep> firstHigh{0};  // when the first file after the raise started
  FetchWorkers workers(
      targets.size(), FetchWorkers::kMaxWorkers, [&](size_t j) -> const std::string& { return targets[j]; },
      [&](size_t, FetchWorkers&) {
        const bool high = raised;
        Clock::rep none = 0;
        if (high) firstHigh.compare_exchange_strong(none, Clock::now().time_since_epoch().count());
        std::atomic<int>& most = high ? mostHigh : mostLow;
        const int now = ++running;
        for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
        }
        // The file under the low limit is still running when it is raised.
        std::this_thread::sleep_for(high ? 300ms : 2500ms);
        --running;
        return true;
      },
      &launcher.download);
  std::this_thread::sleep_for(500ms);
  const Clock::time_point raisedAt = Clock::now();
  raised = true;
  SetDownloadLimit(launcher.download, 4u << 20);
  size_t j = 0, taken = 0;
  while (workers.Next(j, {})) ++taken;
  EXPECT_EQ(taken, targets.size());
  EXPECT_EQ(mostLow, 1);
  EXPECT_GE(mostHigh, 4);
  EXPECT_LT(Clock::time_point(Clock::duration(firstHigh.load())) - raisedAt, 1s);
}

// The launcher's sockets connected to port as ss reads the kernel's
// counters: each socket's own address and the bytes it took in.
std::map<std::string, uint64_t> SocketsTo(uint16_t port) {
  std::map<std::string, uint64_t> sockets;
  const std::string command = "ss -tinH dst 127.0.0.1:" + std::to_string(port) + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return sockets;
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  pclose(pipe);
  std::istringstream lines(out);
  std::string line, local;
  while (std::getline(lines, line)) {
    if (const size_t at = line.find("bytes_received:"); at != std::string::npos) {
      if (!local.empty()) sockets[local] = std::stoull(line.substr(at + 15));
      local.clear();
      continue;
    }
    // A socket's line: state, queues, its own address, the peer's.
    std::istringstream words(line);
    for (std::string word; words >> word;)
      if (word.find(':') != std::string::npos) {
        local = word;
        break;
      }
  }
  return sockets;
}

class WireLimitEndToEnd : public test::ServiceLauncherTest {};

// An install under a low limit, as the kernel's counters of the launcher's
// sockets see it: over any ten seconds no more than a tenth above the
// limit, however many files and connections the task has.
TEST_F(WireLimitEndToEnd, AnInstallUnderALowLimitTakesInNoMoreThanItOverAnyTenSeconds) {
  ASSERT_NO_FATAL_FAILURE(MakeSite({"--size-mib", "3", "--files", "24"}, true));
  PlaceLauncher();
  constexpr uint64_t kLimit = 32u << 10;
  test::WriteFile(launcher_ / "data" / "speed.cfg", "kibps=32\r\n");
  ASSERT_NO_FATAL_FAILURE(StartService());

  struct Sample {
    double at;
    uint64_t taken;
  };
  std::vector<Sample> samples;
  std::map<std::string, uint64_t> seen;  // every socket's most taken in
  size_t mostAtOnce = 0;
  std::atomic<bool> done{false};
  const auto begun = Clock::now();
  std::thread sampler([&] {
    while (!done) {
      const auto now = SocketsTo(static_cast<uint16_t>(service_.port()));
      size_t busy = 0;
      for (const auto& [socket, taken] : now) {
        seen[socket] = std::max(seen[socket], taken);
        if (taken > 4096) ++busy;
      }
      mostAtOnce = std::max(mostAtOnce, busy);
      uint64_t sum = 0;
      for (const auto& [socket, taken] : seen) sum += taken;
      samples.push_back({std::chrono::duration<double>(Clock::now() - begun).count(), sum});
      std::this_thread::sleep_for(100ms);
    }
  });
  // Every second the accounts are asked for: their answer marks the time
  // in the launcher's stream of Events.
  std::string script = ":pick " + test::PathUtf8(root_.path() / "games") + "\n" + test::ScriptLine("install.folder");
  for (int second = 0; second < 13; ++second) script += ":sleep 1000\n" + test::ScriptLine("accounts.refresh");
  const std::vector<std::string> lines = RunScript(script + test::ScriptLine("install.stop") + ":wait\n");
  done = true;
  sampler.join();

  // Once the files flow, the bytes shown grow between every two marks.
  uint64_t shown = 0;
  bool grew = false;
  int marks = 0, still = 0;
  for (const std::string& line : lines) {
    if (const size_t at = line.find("\"doneBytes\":"); line.starts_with(R"({"install")") && at != std::string::npos) {
      const uint64_t bytes = std::stoull(line.substr(at + 12));
      grew = grew || bytes > shown;
      shown = std::max(shown, bytes);
    } else if (line.starts_with(R"({"accounts")") && shown > 0) {
      if (marks++ > 0 && !grew) ++still;
      grew = false;
    }
  }
  // A mark runs on a task of its own and may come late, so one short
  // stretch between two marks may hold no progress on a busy machine.
  EXPECT_GE(marks, 6);
  EXPECT_LE(still, 1) << "seconds without progress, of " << marks;

  ASSERT_GE(samples.size(), 20u);
  uint64_t most = 0;  // the most taken in over any ten seconds
  for (size_t i = 0; i < samples.size(); ++i)
    for (size_t j = i; j < samples.size() && samples[j].at - samples[i].at <= 10.0; ++j)
      most = std::max(most, samples[j].taken - samples[i].taken);
  RecordProperty("most_in_ten_seconds", std::to_string(most));
  RecordProperty("connections_at_once", std::to_string(mostAtOnce));
  EXPECT_LE(most, kLimit * 11) << "over ten seconds, at most " << mostAtOnce << " connections at once";
  // One for the files; the task's own calls to the service may keep another.
  EXPECT_LE(mostAtOnce, 2u);
  // The install ran at about the limit all along, not merely slower.
  EXPECT_GE(most, kLimit * 7);
}

}  // namespace
}  // namespace tarn

#include "support/service_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace tarn::test {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

int detail::RunQuiet(const std::vector<std::string>& argv, const fs::path& output) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

bool CanConnect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// A minimal HTTP exchange, enough for the control endpoint; the status
// code, or 0.
int Exchange(int port, const std::string& method, const std::string& path, const std::string& body) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int status = 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      std::string answer;
      char buffer[4096];
      ssize_t n;
      while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, static_cast<size_t>(n));
      if (answer.starts_with("HTTP/1.1 ") && answer.size() >= 12) status = std::atoi(answer.substr(9, 3).c_str());
    }
  }
  close(fd);
  return status;
}

}  // namespace

ServiceProcess::ServiceProcess() = default;

ServiceProcess::~ServiceProcess() { Stop(); }

bool ServiceProcess::Start(const ServiceOptions& options) {
  Stop();
  error_.clear();
  work_ = std::make_unique<TempDir>();
  const fs::path ready = work_->path() / "ready";
  std::vector<std::string> argv = {ServiceProgram().string(), "--site", options.site.string(), "--port",
                                   std::to_string(options.port), "--access-log", (work_->path() / "access.log").string(),
                                   "--ready-file", ready.string(), "--ticket-ttl", std::to_string(options.ticketTtlSeconds),
                                   "--control"};
  argv.insert(argv.end(), options.args.begin(), options.args.end());

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    error_ = "fork failed";
    return false;
  }
  if (pid == 0) {
    // A group of its own, so that Stop reaches the service and anything it
    // might start, and a test's Ctrl+C does not hit it twice.
    setpgid(0, 0);
    // The service never outlives the test that started it, even one that
    // crashed, was killed, or never stopped it: it ends with its parent.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int out = open((work_->path() / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open((work_->path() / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) dup2(out, 1);
    if (err >= 0) dup2(err, 2);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  setpgid(pid, pid);
  pid_ = pid;

  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "tarn-service ended at start (exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
               "): " + ErrorOutput();
      return false;
    }
    const std::string text = ReadFile(ready);
    if (!text.empty() && text.back() == '\n') {
      port_ = std::atoi(text.c_str());
      if (port_ > 0 && CanConnect(port_)) return true;
    }
    std::this_thread::sleep_for(10ms);
  }
  error_ = "tarn-service did not accept connections within 10 s: " + ErrorOutput();
  Stop();
  return false;
}

void ServiceProcess::Stop() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  int status = 0;
  bool ended = false;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      ended = true;
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  if (!ended) {
    kill(-pid_, SIGKILL);
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
}

bool ServiceProcess::SetFaults(const std::string& flags) {
  return running() && Exchange(port_, "POST", "/control/faults", flags) == 200;
}

std::string ServiceProcess::AccessLogText() const {
  if (!work_) return "";
  // Requests still being answered get their lines first.
  if (running()) Exchange(port_, "GET", "/control/sync", "");
  return ReadFile(work_->path() / "access.log");
}

std::string detail::ToolPath(const fs::path& path) { return path.string(); }

}  // namespace tarn::test

#pragma once
// What the window tests need around a real program: a private X server, a
// child process with an environment of the test's choosing, and the X
// tools that look at windows from outside.
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tarn::test {

// An Xvfb of its own on a free display, stopped when the object goes.
class Xvfb {
 public:
  explicit Xvfb(const std::string& screen = "1920x1080x24");
  ~Xvfb();
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  bool running() const { return !display_.empty(); }
  const std::string& display() const { return display_; }  // ":N"

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// A started program; killed on destruction if it still runs.
class Child {
 public:
  Child(const std::string& program, const std::string& workDir, const std::vector<std::string>& env,
        const std::vector<std::string>& args = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  // The exit code once it has ended within the time; nullopt otherwise.
  std::optional<int> Wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  std::optional<int> exitCode_;
};

// Runs a shell command line and returns its standard output.
std::string Capture(const std::string& commandLine);

// Polls until the predicate holds or the time is up; answers the predicate.
template <typename Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (predicate()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    struct timespec pause = {0, 50 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace tarn::test

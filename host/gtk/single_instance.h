#pragma once
// One launcher per machine. The first copy holds an abstract Unix socket
// named after the single-instance name; a later copy connects to it, which
// asks the first copy to present its window, and then ends. The kernel
// drops the name when its holder dies, so a crash never blocks the next
// start.
#include <string_view>

namespace tarn {

// A socket descriptor closed on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

enum class InstanceRole {
  First,  // this copy holds the name; the listener hears later copies
  Other,  // another copy holds the name and was asked to present its window
  Alone,  // no socket could be made: run, but without the guard
};

struct InstanceClaim {
  InstanceRole role = InstanceRole::Alone;
  UniqueFd listener;  // First only; non-blocking, not inherited by children
};

InstanceClaim ClaimSingleInstance(std::string_view name);

// Takes every waiting request off the listener without blocking. Answers
// how many later copies asked to be shown the window since the last call.
int TakePresentRequests(int listener);

}  // namespace tarn

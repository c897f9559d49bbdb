#include "host/gtk/single_instance.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace tarn {
namespace {

// An abstract address: a leading NUL byte, then the name, with no file
// behind it and no terminator counted in the length.
bool AbstractAddress(std::string_view name, sockaddr_un& address, socklen_t& length) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (name.empty() || name.size() + 1 > sizeof address.sun_path) return false;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return true;
}

UniqueFd NewSocket() { return UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)); }

}  // namespace

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.release();
  }
  return *this;
}

InstanceClaim ClaimSingleInstance(std::string_view name) {
  InstanceClaim claim;
  sockaddr_un address;
  socklen_t length = 0;
  if (!AbstractAddress(name, address, length)) return claim;

  // Two copies started together race for the name; the loser finds it
  // bound a moment before the winner listens, so connecting is retried
  // briefly before this copy gives up and ends quietly.
  for (int attempt = 0; attempt < 40; ++attempt) {
    UniqueFd fd = NewSocket();
    if (fd.get() < 0) return claim;
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      if (listen(fd.get(), 16) != 0) return claim;
      claim.role = InstanceRole::First;
      claim.listener = std::move(fd);
      return claim;
    }
    if (errno != EADDRINUSE) return claim;

    UniqueFd peer = NewSocket();
    if (peer.get() < 0) return claim;
    if (connect(peer.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0 || errno == EINPROGRESS) {
      claim.role = InstanceRole::Other;
      return claim;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  claim.role = InstanceRole::Other;
  return claim;
}

int TakePresentRequests(int listener) {
  int requests = 0;
  for (;;) {
    const int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0) {
      if (errno == EINTR) continue;
      return requests;
    }
    close(peer);
    ++requests;
  }
}

}  // namespace tarn

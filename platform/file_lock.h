#pragma once
// A lock between processes on one file: whoever holds it may do what the
// file guards (the launcher's own update), and the system lets it go when
// the holder ends, however it ends, so a killed launcher never leaves one
// that nobody can take.
#include <cstdint>
#include <string>
#include <utility>

namespace tarn {

class FileLock {
 public:
  FileLock() = default;
  explicit FileLock(intptr_t handle) : handle_(handle) {}
  ~FileLock();
  FileLock(FileLock&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}
  FileLock& operator=(FileLock&&) = delete;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return handle_ != kNone; }

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;
};

// Takes the lock of path (made when missing, never through a link) without
// waiting. Not held when another process (or another FileLock of this
// one) has it, or the file cannot be opened.
FileLock TryLockFile(const std::string& path);

}  // namespace tarn

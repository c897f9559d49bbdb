#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/input_file.h"
#include "platform/linux/posix_io.h"

namespace tarn {

InputFile::~InputFile() {
  if (isOpen()) close(static_cast<int>(handle_));
}

InputFile::InputFile(InputFile&& other) noexcept : handle_(std::exchange(other.handle_, kClosed)) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) adopt(std::exchange(other.handle_, kClosed));
  return *this;
}

void InputFile::adopt(intptr_t handle) {
  if (isOpen()) close(static_cast<int>(handle_));
  handle_ = handle;
}

bool OpenInputFile(const std::string& path, InputFile& file) {
  const int fd = OpenRegularFile(path, O_RDONLY | O_NOFOLLOW);
  file.adopt(fd);
  if (fd < 0) return false;
  // The scan reads front to back; the kernel then reads further ahead.
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return true;
}

int64_t ReadInputFile(InputFile& file, uint64_t offset, char* buffer, size_t size) {
  if (!file.isOpen()) return -1;
  for (;;) {
    const ssize_t n = pread(static_cast<int>(file.handle()), buffer, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

FileStamp StampOf(InputFile& file) {
  struct stat st{};
  if (!file.isOpen() || fstat(static_cast<int>(file.handle()), &st) != 0) return {};
  constexpr int64_t kNano = 1000000000;
  return {.size = static_cast<int64_t>(st.st_size),
          .written = static_cast<int64_t>(st.st_mtim.tv_sec) * kNano + st.st_mtim.tv_nsec,
          .changed = static_cast<int64_t>(st.st_ctim.tv_sec) * kNano + st.st_ctim.tv_nsec};
}

}  // namespace tarn

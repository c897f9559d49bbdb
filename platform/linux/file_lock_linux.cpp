#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/file_lock.h"

namespace tarn {

FileLock::~FileLock() {
  if (held()) close(static_cast<int>(handle_));
}

FileLock TryLockFile(const std::string& path) {
  // An open file description of its own: flock locks belong to it, so a
  // second FileLock of this process is turned away as another process is.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return FileLock();
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return FileLock();
  }
  return FileLock(fd);
}

}  // namespace tarn

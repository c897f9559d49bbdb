#include "platform/linux/posix_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace tarn {

bool FdTraits::Free(int fd) { return close(fd) == 0; }

int OpenRegularFile(const std::string& path, int flags, mode_t mode) {
  Fd file(open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode));
  if (!file.ok()) return -1;
  struct stat st{};
  if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const int status = fcntl(file.get(), F_GETFL);
  if (status < 0 || fcntl(file.get(), F_SETFL, status & ~O_NONBLOCK) != 0) return -1;
  return file.Release();
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

void SyncFolder(const std::string& folder) {
  Fd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.ok()) fsync(dir.get());
}

}  // namespace tarn

#include "platform/linux/posix_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace tarn {

Fd::~Fd() { Close(); }

bool Fd::Close() {
  if (fd < 0) return true;
  const bool closed = close(fd) == 0;
  fd = -1;
  return closed;
}

int OpenRegularFile(const std::string& path, int flags, mode_t mode) {
  Fd file(open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode));
  if (file.fd < 0) return -1;
  struct stat st{};
  if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const int status = fcntl(file.fd, F_GETFL);
  if (status < 0 || fcntl(file.fd, F_SETFL, status & ~O_NONBLOCK) != 0) return -1;
  return std::exchange(file.fd, -1);
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
  if (dir.fd >= 0) fsync(dir.fd);
}

namespace {

// The temporary files of path's writers are "<path>.<pid>.XXXXXX". One whose
// process is gone was left by a writer killed before its rename, and would
// otherwise stay beside the file for good (in the client folder, too); a
// living writer's file, this process's included, is never touched.
void RemoveOrphanedTemps(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
  DIR* dir = opendir(FolderOf(path).c_str());
  if (dir == nullptr) return;
  const pid_t self = getpid();
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.size() <= prefix.size() + 8 || name.substr(0, prefix.size()) != prefix) continue;
    const std::string_view rest = name.substr(prefix.size());
    const size_t dot = rest.find('.');
    if (dot == 0 || dot == std::string_view::npos || rest.size() - dot - 1 != 6) continue;
    pid_t pid = 0;
    bool digits = true;
    for (char c : rest.substr(0, dot)) {
      digits = digits && c >= '0' && c <= '9' && pid < 100000000;
      if (digits) pid = pid * 10 + (c - '0');
    }
    if (!digits || pid <= 0 || pid == self || kill(pid, 0) == 0 || errno != ESRCH) continue;
    struct stat st{};
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      unlinkat(dirfd(dir), entry->d_name, 0);
  }
  closedir(dir);
}

}  // namespace

bool ReplaceFileWithMode(const std::string& path, std::string_view bytes, mode_t mode) {
  // A unique temporary name, so two writers of the same file never write
  // into each other's temporary file; the last rename wins whole.
  std::string temp = path + "." + std::to_string(getpid()) + ".XXXXXX";
  Fd file(mkostemp(temp.data(), O_CLOEXEC));
  if (file.fd < 0) return false;
  const bool written = fchmod(file.fd, mode) == 0 && WriteAll(file.fd, bytes) && fsync(file.fd) == 0;
  const bool closed = file.Close();
  if (!written || !closed || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  SyncFolder(FolderOf(path));
  RemoveOrphanedTemps(path);
  return true;
}

}  // namespace tarn

#include "platform/linux/posix_io.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

namespace tarn {

bool FdTraits::Free(int fd) { return close(fd) == 0; }

bool FolderTraits::Free(DIR* dir) { return closedir(dir) == 0; }

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

namespace {

// The base of the user's data folders by the XDG rules, which say a
// relative XDG_DATA_HOME is to be ignored. Empty when no home is known.
std::string DataHome() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  std::string home;
  if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
    home = h;
  } else {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
      home = found->pw_dir;
  }
  if (home.empty() || home[0] != '/') return {};
  return home + "/.local/share";
}

bool IsFolder(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Every missing level is made private: the state holds the player's
// accounts, and the parents are the user's own folders anyway.
bool MakeFolders(const std::string& folder) {
  if (IsFolder(folder)) return true;
  const size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash))) return false;
  return mkdir(folder.c_str(), 0700) == 0 || (errno == EEXIST && IsFolder(folder));
}

}  // namespace

std::string MakeUserStateFolder() {
  const std::string base = DataHome();
  if (base.empty()) return {};
  const std::string folder = base + "/tarn-launcher";
  return MakeFolders(folder) ? folder : std::string();
}

}  // namespace tarn

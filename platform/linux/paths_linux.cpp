#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/paths.h"

namespace tarn {
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

// An installed copy sits in a folder the package manager owns; even root,
// who could write there, must not leave files behind that no package
// accounts for.
bool KeepsStateBesideItself(const std::string& exeDir) {
  struct stat st{};
  if (stat(JoinPath(exeDir, kInstalledMarker).c_str(), &st) == 0) return false;
  return access(exeDir.c_str(), W_OK) == 0;
}

}  // namespace

std::string ExeDir() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  // The root folder keeps its slash: "/" rather than "".
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string StateDirFor(const std::string& exeDir) {
  if (exeDir.empty() || KeepsStateBesideItself(exeDir)) return exeDir;
  const std::string base = DataHome();
  if (base.empty()) return exeDir;
  const std::string folder = base + "/tarn-launcher";
  return MakeFolders(folder) ? folder : exeDir;
}

char NativeSeparator() { return '/'; }

}  // namespace tarn

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform/paths.h"
#include "platform/linux/posix_io.h"

namespace tarn {
namespace {

// An installed copy sits in a folder the package manager owns; even root,
// who could write there, must not leave files behind that no package
// accounts for.
bool KeepsStateBesideItself(const std::string& exeDir) {
  struct stat st{};
  if (stat(JoinPath(exeDir, kInstalledMarker).c_str(), &st) == 0) return false;
  return access(exeDir.c_str(), W_OK) == 0;
}

}  // namespace

std::string ExePath() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

std::string ExeDir() {
  const std::string path = ExePath();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  // The root folder keeps its slash: "/" rather than "".
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string StateDirFor(const std::string& exeDir) {
  if (exeDir.empty() || KeepsStateBesideItself(exeDir)) return exeDir;
  const std::string folder = MakeUserStateFolder();
  return folder.empty() ? exeDir : folder;
}

char NativeSeparator() { return '/'; }

bool IsAbsolutePath(std::string_view text) { return !text.empty() && text[0] == '/'; }

}  // namespace tarn

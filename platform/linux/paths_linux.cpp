#include <unistd.h>

#include <climits>

#include "platform/paths.h"

namespace tarn {

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

char NativeSeparator() { return '/'; }

}  // namespace tarn

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/file_ops.h"
#include "platform/linux/posix_io.h"

namespace tarn {
namespace {

}  // namespace

bool IsFile(const std::string& path) {
  struct stat st{};
  return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string FullPath(const std::string& path) {
  if (path.empty()) return {};
  std::error_code ec;
  std::filesystem::path full = std::filesystem::absolute(path, ec);
  if (ec) return {};
  std::string text = full.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::string SearchParent(const std::string& folder) {
  const size_t slash = folder.rfind('/');
  if (slash == std::string::npos || slash == 0) return {};
  return folder.substr(0, slash);
}

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes) {
  return ReplaceFileWithMode(path, bytes, 0644);
}

}  // namespace tarn

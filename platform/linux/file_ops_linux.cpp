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

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, FileAccess access) {
  const mode_t mode = access == FileAccess::OwnerOnly ? 0600 : 0644;
  // A unique temporary name, so two writers of the same file never write
  // into each other's temporary file; the last rename wins whole.
  std::string temp = path + ".XXXXXX";
  Fd file(mkostemp(temp.data(), O_CLOEXEC));
  if (!file.ok()) return false;
  const bool written = fchmod(file.get(), mode) == 0 && WriteAll(file.get(), bytes) && fsync(file.get()) == 0;
  const bool closed = file.Close();
  if (!written || !closed || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  SyncFolder(FolderOf(path));
  return true;
}

}  // namespace tarn

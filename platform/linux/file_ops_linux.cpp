#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/file_ops.h"

namespace tarn {
namespace {

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

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
  // A unique temporary name, so two writers of the same file never write
  // into each other's temporary file; the last rename wins whole.
  std::string temp = path + ".XXXXXX";
  Fd file(mkostemp(temp.data(), O_CLOEXEC));
  if (file.fd < 0) return false;
  const bool written = fchmod(file.fd, 0644) == 0 && WriteAll(file.fd, bytes) && fsync(file.fd) == 0;
  const bool closed = close(file.fd) == 0;
  file.fd = -1;
  if (!written || !closed || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  // The rename itself lives in the folder; without this a power cut could
  // still bring back the old name.
  Fd folder(open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.fd >= 0) fsync(folder.fd);
  return true;
}

}  // namespace tarn

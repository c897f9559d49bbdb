#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/folder_move.h"
#include "platform/linux/posix_io.h"

namespace tarn {
namespace {

// The device of path, or of the nearest folder above it that exists.
bool DeviceOf(std::string path, dev_t& device) {
  while (!path.empty()) {
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0) {
      device = st.st_dev;
      return true;
    }
    if (errno != ENOENT && errno != ENOTDIR) return false;
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return false;
    path = slash == 0 ? std::string("/") : path.substr(0, slash);
    if (path == "/") {
      if (lstat("/", &st) != 0) return false;
      device = st.st_dev;
      return true;
    }
  }
  return false;
}

bool IsRealFolder(const std::string& path) {
  struct stat st{};
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

Result<bool, FileError> OnSameFileSystem(const std::string& from, const std::string& to) {
  dev_t a = 0, b = 0;
  if (!DeviceOf(from, a) || !DeviceOf(to, b)) return Fail(FileError::Failed);
  return a == b;
}

Result<void, RenameProblem> RenameFolder(const std::string& from, const std::string& to) {
  if (!IsRealFolder(from)) return Fail(RenameProblem::Failed);
  // RENAME_NOREPLACE would be the exact wish, but an empty folder at to is
  // what rename(2) alone would take the place of: the caller has made sure
  // nothing is there.
  struct stat st{};
  if (lstat(to.c_str(), &st) == 0) return Fail(RenameProblem::Failed);
  if (std::rename(from.c_str(), to.c_str()) == 0) return {};
  return Fail(errno == EXDEV ? RenameProblem::OtherFileSystem : RenameProblem::Failed);
}

Result<std::vector<std::string>, FileError> FolderNames(const std::string& folder, size_t limit) {
  struct stat st{};
  if (lstat(folder.c_str(), &st) != 0) return Fail(errno == ENOENT ? FileError::Missing : FileError::Failed);
  if (!S_ISDIR(st.st_mode)) return Fail(FileError::Failed);
  const Folder listing(opendir(folder.c_str()));
  if (!listing.ok()) return Fail(FileError::Failed);
  std::vector<std::string> names;
  while (names.size() < limit) {
    const dirent* entry = readdir(listing.get());
    if (entry == nullptr) break;
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  return names;
}

bool RemoveEmptyFolder(const std::string& folder) { return IsRealFolder(folder) && rmdir(folder.c_str()) == 0; }

}  // namespace tarn

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/file_ops.h"
#include "platform/linux/posix_io.h"

namespace tarn {
namespace {

// The temporary files of path's writers are "<path>.<pid>.XXXXXX". One whose
// process is gone was left by a writer killed before its rename, and would
// otherwise stay beside the file for good (in the client folder, too); a
// living writer's file, this process's included, is never touched.
void RemoveOrphanedTemps(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
  const Folder folder(opendir(FolderOf(path).c_str()));
  if (!folder.ok()) return;
  DIR* dir = folder.get();
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

std::string ResolvedPath(const std::string& path) {
  const std::string full = FullPath(path);
  std::string head = full;
  std::string tail;
  while (!head.empty()) {
    if (char* real = realpath(head.c_str(), nullptr)) {
      std::string resolved(real);
      free(real);
      if (tail.empty()) return resolved;
      return resolved == "/" ? "/" + tail : resolved + "/" + tail;
    }
    const size_t slash = head.rfind('/');
    if (slash == std::string::npos || head == "/") break;
    tail = tail.empty() ? head.substr(slash + 1) : head.substr(slash + 1) + "/" + tail;
    head = slash == 0 ? "/" : head.substr(0, slash);
  }
  return full;
}

std::string SearchParent(const std::string& folder) {
  const size_t slash = folder.rfind('/');
  if (slash == std::string::npos || slash == 0) return {};
  return folder.substr(0, slash);
}

namespace {

// A new temporary file of path, "<path>.<pid>.XXXXXX" with six random
// letters and digits: unique, so two writers of the same file never write
// into each other's temporary file (the last rename wins whole), and made
// only where no file is, so an existing one (whoever's) is never taken
// over. before hears each name first.
Fd NewTemporary(const std::string& path, std::string& temp, const std::function<void(const std::string&)>& before) {
  static constexpr char kNameCharacters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 64; ++attempt) {
    unsigned char random[6];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return Fd();
    temp = path + "." + std::to_string(getpid()) + ".";
    for (const unsigned char r : random) temp += kNameCharacters[r % (sizeof kNameCharacters - 1)];
    if (before) before(temp);
    Fd file(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (file.ok() || errno != EEXIST) return file;
  }
  return Fd();
}

// The replace itself; before, when given, hears the temporary file's name.
bool Replace(const std::string& path, std::string_view bytes, mode_t mode,
             const std::function<void(const std::string& temp)>& before) {
  std::string temp;
  Fd file = NewTemporary(path, temp, before);
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

}  // namespace

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, FileAccess access) {
  if (!Replace(path, bytes, access == FileAccess::OwnerOnly ? 0600 : 0644, {})) return false;
  RemoveOrphanedTemps(path);
  return true;
}

bool ReplaceSharedFileAtomically(const std::string& path, std::string_view bytes,
                                 const std::function<void(const std::string& temp)>& before) {
  return Replace(path, bytes, 0644, before);
}

}  // namespace tarn

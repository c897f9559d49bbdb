#include "platform/program_update.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string_view>
#include <system_error>

#include "platform/paths.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

// Where the launcher's package puts the program and its page.
constexpr std::string_view kPackageProgramFolder = "usr/lib/tarn-launcher";
// What the swap leaves of the old launcher beside the new one, for the next
// start to remove: the running program cannot be deleted by itself.
constexpr std::string_view kLeftAside = ".old";
// A package file is a few megabytes; unpacked, nothing of ours comes near
// these. A file or a whole past them is refused, not unpacked to the end.
constexpr rlim_t kLargestUnpackedFile = 256u << 20;
constexpr uintmax_t kLargestUnpacked = 512u << 20;
constexpr std::string_view kDpkgDeb = "/usr/bin/dpkg-deb";

// Unpacks the package file into folder with dpkg-deb, each file it writes
// bounded; false when it cannot run or fails.
bool Unpack(const std::string& package, const std::string& folder) {
  const std::string program(kDpkgDeb);
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    // Only calls safe between fork and exec: the parent has threads.
    const rlimit limit{kLargestUnpackedFile, kLargestUnpackedFile};
    setrlimit(RLIMIT_FSIZE, &limit);
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    char* const argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("-x"),
                          const_cast<char*>(package.c_str()), const_cast<char*>(folder.c_str()), nullptr};
    execv(program.c_str(), argv);
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0)
    if (errno != EINTR) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whether the unpacked page folder holds only folders and regular files
// (no link that could lead out of it) and is no larger than the bound.
bool PlainTree(const fs::path& folder) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(folder, ec))) return false;
  uintmax_t total = 0;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::file_status s = it->symlink_status(ec);
    if (ec) return false;
    if (fs::is_directory(s)) continue;
    if (!fs::is_regular_file(s)) return false;
    total += it->file_size(ec);
    if (ec || total > kLargestUnpacked) return false;
  }
  return !ec;
}

bool IsPlainFile(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(fs::symlink_status(path, ec));
}

// Moves from into to's place, which must be free: a rename, or across file
// systems a copy under a temporary name first, so to is whole or missing.
bool MoveInto(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (!ec) return true;
  const fs::path temporary = to.string() + ".new";
  fs::remove_all(temporary, ec);
  fs::copy(from, temporary, fs::copy_options::recursive, ec);
  if (!ec) fs::rename(temporary, to, ec);
  if (ec) fs::remove_all(temporary, ec);
  return !ec && fs::exists(fs::symlink_status(to, ec));
}

// Puts fresh in target's place, target renamed aside first; on failure
// target is back as it was.
bool Swap(const fs::path& fresh, const fs::path& target) {
  const fs::path aside = target.string() + std::string(kLeftAside);
  std::error_code ec;
  fs::remove_all(aside, ec);
  const bool had = fs::exists(fs::symlink_status(target, ec));
  if (had) {
    fs::rename(target, aside, ec);
    if (ec) return false;
  }
  if (MoveInto(fresh, target)) return true;
  if (had) fs::rename(aside, target, ec);
  return false;
}

}  // namespace

RunningProgram DescribeRunningProgram() {
  const std::string folder = ExeDir();
  std::error_code ec;
  const bool packaged = !folder.empty() && fs::exists(fs::path(JoinPath(folder, kInstalledMarker)), ec);
  return {packaged ? ProgramInstall::Package : ProgramInstall::Folder, ExePath(), folder};
}

PublisherCheck CheckPublisher(const std::string&) { return PublisherCheck::NotNeeded; }

Result<void, UpgradeError> StartUpgrade(const RunningProgram& program, const std::string& downloaded) {
  if (program.kind != ProgramInstall::Folder || program.program.empty() || program.folder.empty())
    return Fail(UpgradeError::Unsupported);
  const fs::path staging = fs::path(downloaded).parent_path() / "upgrade";
  std::error_code ec;
  fs::remove_all(staging, ec);
  if (!fs::create_directories(staging, ec) || !Unpack(downloaded, staging.string())) {
    fs::remove_all(staging, ec);
    return Fail(UpgradeError::Unpack);
  }
  // Only the program of the running name and the page are taken, and only
  // as plain files and folders: anything else the package holds stays in
  // the staging folder, which goes whatever happens.
  const fs::path root = staging / kPackageProgramFolder;
  const fs::path newProgram = root / fs::path(program.program).filename();
  const fs::path newPage = root / "ui";
  const bool usable = IsPlainFile(newProgram) && PlainTree(newPage) &&
                      fs::file_size(newProgram, ec) <= kLargestUnpackedFile && !ec;
  Result<void, UpgradeError> result = Fail(UpgradeError::Unpack);
  if (usable) {
    fs::permissions(newProgram, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec, ec);
    const fs::path page = fs::path(program.folder) / "ui";
    if (!Swap(newProgram, program.program)) {
      result = Fail(UpgradeError::Locked);
    } else if (!Swap(newPage, page)) {
      // The old page belongs with the old program: put both back.
      fs::remove(program.program, ec);
      fs::rename(program.program + std::string(kLeftAside), program.program, ec);
      result = Fail(UpgradeError::Locked);
    } else {
      result = {};
    }
  }
  fs::remove_all(staging, ec);
  return result;
}

void RemoveProgramLeftAside(const RunningProgram& program) {
  if (program.program.empty() || program.folder.empty()) return;
  std::error_code ec;
  fs::remove(program.program + std::string(kLeftAside), ec);
  fs::remove_all(fs::path(program.folder) / ("ui" + std::string(kLeftAside)), ec);
}

}  // namespace tarn

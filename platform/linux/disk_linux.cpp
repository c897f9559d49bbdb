#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <set>
#include <utility>

#include "platform/disk.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/linux/mount_table.h"

namespace tarn {
namespace {

std::string Unescape(std::string_view field) {
  // mountinfo writes space, tab, newline and backslash as \ooo.
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string_view digits = field.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out += static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0'));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

bool HasOption(std::string_view options, std::string_view option) {
  size_t start = 0;
  while (start <= options.size()) {
    size_t end = options.find(',', start);
    if (end == std::string_view::npos) end = options.size();
    if (options.substr(start, end - start) == option) return true;
    start = end + 1;
  }
  return false;
}

std::vector<MountEntry> ReadMounts() {
  std::string text;
  if (!ReadWholeFile("/proc/self/mountinfo", text)) return {};
  return ParseMountInfo(text);
}

// The nearest folder on the way to path that exists, as an absolute,
// normalised path; "/" at worst.
std::string ExistingFolderOf(const std::string& path) {
  std::string folder = FullPath(path.empty() ? "/" : path);
  if (folder.empty()) return "/";
  while (folder.size() > 1 && access(folder.c_str(), F_OK) != 0) {
    const size_t slash = folder.rfind('/');
    folder = slash == 0 || slash == std::string::npos ? "/" : folder.substr(0, slash);
  }
  return folder;
}

bool FreeBytesOf(const std::string& folder, uint64_t& bytes) {
  struct statvfs st{};
  if (statvfs(folder.c_str(), &st) != 0) return false;
  bytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
  return true;
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> mounts;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::vector<std::string_view> f = Fields(text.substr(start, end - start));
    start = end + 1;
    // id parent major:minor root mount-point options [optional...] - type source super-options
    const auto dash = std::find(f.begin(), f.end(), std::string_view("-"));
    if (f.size() < 6 || dash == f.end() || f.end() - dash < 3 || dash - f.begin() < 6) continue;
    MountEntry e;
    const std::string_view dev = f[2];
    const size_t colon = dev.find(':');
    if (colon == std::string_view::npos) continue;
    e.major = static_cast<unsigned>(std::strtoul(std::string(dev.substr(0, colon)).c_str(), nullptr, 10));
    e.minor = static_cast<unsigned>(std::strtoul(std::string(dev.substr(colon + 1)).c_str(), nullptr, 10));
    e.mountPoint = Unescape(f[4]);
    e.readOnly = HasOption(f[5], "ro");
    e.fsType = Unescape(dash[1]);
    e.source = Unescape(dash[2]);
    mounts.push_back(std::move(e));
  }
  return mounts;
}

bool IsNetworkFsType(std::string_view fsType) {
  static constexpr std::array<std::string_view, 22> kNetwork = {
      "nfs",        "nfs4",           "cifs",      "smb3",          "smbfs",      "ncpfs",
      "afs",        "coda",           "ceph",      "glusterfs",     "lustre",     "gfs2",
      "ocfs2",      "9p",             "davfs",     "fuse.sshfs",    "sshfs",      "fuse.glusterfs",
      "fuse.rclone", "fuse.s3fs",     "fuse.davfs2", "fuse.cephfs",
  };
  return std::find(kNetwork.begin(), kNetwork.end(), fsType) != kNetwork.end();
}

bool IsLocalBlockFs(const MountEntry& entry) {
  if (IsNetworkFsType(entry.fsType)) return false;
  // Some block file systems (btrfs) report an anonymous device number, so
  // the source names the device for them.
  return entry.source.rfind("/dev/", 0) == 0 || entry.major != 0;
}

const MountEntry* MountOf(const std::vector<MountEntry>& mounts, std::string_view path) {
  const MountEntry* best = nullptr;
  for (const MountEntry& m : mounts) {
    const std::string_view point = m.mountPoint;
    const bool holds = point == "/" ? !path.empty() && path[0] == '/'
                                    : path.substr(0, point.size()) == point &&
                                          (path.size() == point.size() || path[point.size()] == '/');
    if (holds && (!best || point.size() >= best->mountPoint.size())) best = &m;
  }
  return best;
}

std::vector<DiskPlace> InstallPlaces() {
  const std::vector<MountEntry> mounts = ReadMounts();
  const char* homeText = std::getenv("HOME");
  const std::string home = homeText && homeText[0] == '/' ? FullPath(homeText) : std::string();
  const MountEntry* homeMount = home.empty() ? nullptr : MountOf(mounts, home);

  std::vector<DiskPlace> places;
  std::set<std::pair<unsigned, unsigned>> seen;
  for (const MountEntry& m : mounts) {
    if (!IsLocalBlockFs(m)) continue;
    // A mount hidden under a later one on the same point is not reachable.
    if (MountOf(mounts, m.mountPoint) != &m) continue;
    if (!seen.insert({m.major, m.minor}).second) continue;
    std::string place;
    if (homeMount && homeMount->major == m.major && homeMount->minor == m.minor) {
      place = home;
    } else if (!m.readOnly && access(m.mountPoint.c_str(), W_OK) == 0) {
      place = m.mountPoint;
    } else {
      continue;
    }
    uint64_t free = 0;
    if (!FreeBytesOf(place, free)) continue;
    places.push_back({place, free});
  }
  return places;
}

Result<uint64_t, FileError> DiskFreeBytes(const std::string& path) {
  uint64_t free = 0;
  if (path.empty() || !FreeBytesOf(ExistingFolderOf(path), free)) return Fail(FileError::Failed);
  return free;
}

bool OnNetworkFileSystem(const std::string& path) {
  if (path.empty()) return false;
  std::string folder = ExistingFolderOf(path);
  // A link may lead onto a share; the mount table speaks of real paths.
  if (char* real = realpath(folder.c_str(), nullptr)) {
    folder = real;
    std::free(real);
  }
  const std::vector<MountEntry> mounts = ReadMounts();
  const MountEntry* m = MountOf(mounts, folder);
  return m && IsNetworkFsType(m->fsType);
}

std::string SystemDiskRoot() { return "/"; }

}  // namespace tarn

#pragma once
// /proc/self/mountinfo read into plain records. Internal to the Linux
// backend (and its tests): logic code asks platform/disk.h.
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

struct MountEntry {
  unsigned major = 0;
  unsigned minor = 0;
  std::string mountPoint;  // octal escapes (\040 and the like) decoded
  std::string fsType;      // "ext4", "nfs4", "fuse.sshfs"
  std::string source;      // "/dev/sda1", "server:/export", "tmpfs"
  bool readOnly = false;   // the mount's own options say "ro"
};

// One entry per well-formed line, in file order; other lines are skipped.
std::vector<MountEntry> ParseMountInfo(std::string_view text);

// Network file systems by type: NFS, SMB/CIFS, sshfs and their kin.
bool IsNetworkFsType(std::string_view fsType);

// A local file system backed by a block device (a disk or a partition, not
// a memory, kernel or network file system).
bool IsLocalBlockFs(const MountEntry& entry);

// The entry whose mount point holds path (an absolute, normalised path):
// the longest matching mount point, the later entry on equal length (it is
// mounted over the earlier). Null when none matches.
const MountEntry* MountOf(const std::vector<MountEntry>& mounts, std::string_view path);

}  // namespace tarn

#pragma once
// What the installer asks about disks: where a game could go and how much
// room each place has, the room left on the disk of a folder, and whether a
// folder lies on a network file system. Plain records only; the rules that
// pick among the answers are the installer's own.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"

namespace tarn {

// A place where the player could install, with the bytes available to the
// current user on its disk (quotas honoured).
struct DiskPlace {
  std::string path;
  uint64_t freeBytes = 0;
};

// The places worth suggesting, in the system's order, each with its free
// space; places whose free space cannot be read are left out.
// Linux: one per mounted local block-device file system (bind mounts of the
// same device once): the user's home where it lies on that file system,
// otherwise the mount point when the user may write there.
// Windows: the root of every fixed drive, A: to Z:.
std::vector<DiskPlace> InstallPlaces();

// Bytes available to the current user on the disk of path; Failed when
// they cannot be read.
// Linux: the nearest existing folder on the way to path decides, so a folder
// not yet created reads as the disk it will be created on. Windows: the
// first three characters of path are taken as the drive root.
Result<uint64_t, FileError> DiskFreeBytes(const std::string& path);

// Whether path, or the nearest existing folder on the way to it, lies on a
// network file system (NFS, SMB/CIFS, sshfs and the like) according to the
// mount table. Windows decides network folders by their "\\" spelling alone
// and answers false here.
bool OnNetworkFileSystem(const std::string& path);

// Where the free space is shown from when there is no place to suggest:
// "/" on Linux, "C:\" on Windows.
std::string SystemDiskRoot();

}  // namespace tarn

#include <windows.h>

#include "platform/disk.h"
#include "platform/windows/wide.h"

namespace tarn {
namespace {

bool FreeBytesOfRoot(const std::wstring& root, uint64_t& bytes) {
  // The first count honours the user's disk quota; the other two do not.
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(root.c_str(), &available, nullptr, nullptr)) return false;
  bytes = available.QuadPart;
  return true;
}

}  // namespace

std::vector<DiskPlace> InstallPlaces() {
  std::vector<DiskPlace> places;
  const DWORD drives = GetLogicalDrives();
  for (int letter = 0; letter < 26; ++letter) {
    if ((drives & (1u << letter)) == 0) continue;
    const std::wstring root = {static_cast<wchar_t>(L'A' + letter), L':', L'\\'};
    if (GetDriveTypeW(root.c_str()) != DRIVE_FIXED) continue;
    uint64_t free = 0;
    if (!FreeBytesOfRoot(root, free)) continue;
    places.push_back({FromWide(root), free});
  }
  return places;
}

Result<uint64_t, FileError> DiskFreeBytes(const std::string& path) {
  const std::wstring wide = ToWide(path);
  // The first three characters stand for the drive root; a network path's
  // do not form one, and its query fails.
  uint64_t free = 0;
  if (wide.size() < 3 || !FreeBytesOfRoot(wide.substr(0, 3), free)) return Fail(FileError::Failed);
  return free;
}

bool OnNetworkFileSystem(const std::string&) { return false; }

std::string SystemDiskRoot() { return "C:\\"; }

}  // namespace tarn

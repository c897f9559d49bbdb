#include <windows.h>

#include <string>

#include "platform/file.h"
#include "platform/output_file.h"
#include "platform/windows/handle.h"
#include "platform/windows/wide.h"

namespace tarn {

bool AppendToFile(const std::string& path, std::string_view bytes, WriteSharing sharing) {
  if (bytes.size() > MAXDWORD) return false;
  const DWORD share = sharing == WriteSharing::Shared ? (FILE_SHARE_READ | FILE_SHARE_WRITE) : FILE_SHARE_READ;
  // Append-only access makes the system place every write at the end of the
  // file, so one line from each of several writers lands whole.
  Handle f(CreateFileW(ToWide(path).c_str(), FILE_APPEND_DATA, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr));
  if (!f.ok()) return false;
  DWORD written = 0;
  if (!WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) return false;
  return written == bytes.size();
}

bool RemoveFile(const std::string& path) { return DeleteFileW(ToWide(path).c_str()) != 0; }

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  bytes.clear();
  Handle f(CreateFileW(ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.ok()) return false;
  char buf[8192];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(f.get(), buf, sizeof buf, &n, nullptr)) {
      bytes.clear();
      return false;
    }
    if (n == 0) return true;
    bytes.append(buf, n);
  }
}

bool ReadFileStart(const std::string& path, size_t maxBytes, std::string& bytes) {
  bytes.clear();
  Handle f(CreateFileW(ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  // A pipe or a device behind that name would hold the caller.
  if (!f.ok() || GetFileType(f.get()) != FILE_TYPE_DISK) return false;
  char buf[8192];
  while (bytes.size() < maxBytes) {
    const size_t want = maxBytes - bytes.size() < sizeof buf ? maxBytes - bytes.size() : sizeof buf;
    DWORD n = 0;
    if (!ReadFile(f.get(), buf, static_cast<DWORD>(want), &n, nullptr)) {
      bytes.clear();
      return false;
    }
    if (n == 0) break;
    bytes.append(buf, n);
  }
  return true;
}

bool MakeFolder(const std::string& path) { return MakeOutputFolder(path).ok(); }

}  // namespace tarn

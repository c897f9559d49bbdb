#include <windows.h>

#include "platform/file_lock.h"
#include "platform/windows/wide.h"

namespace tarn {

FileLock::~FileLock() {
  if (held()) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

FileLock TryLockFile(const std::string& path) {
  // Opened for nobody else: a second opener, in this process or another,
  // is refused until the handle closes, which the system does for a
  // process that dies. A reparse point is opened as itself, never followed.
  HANDLE file = CreateFileW(ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FileLock();
  return FileLock(reinterpret_cast<intptr_t>(file));
}

}  // namespace tarn

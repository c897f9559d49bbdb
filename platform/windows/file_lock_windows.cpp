#include <windows.h>

#include "platform/file_lock.h"
#include "platform/windows/wide.h"

namespace tarn {

bool FileLockTraits::Free(Value lock) { return CloseHandle(reinterpret_cast<HANDLE>(lock)) != 0; }

FileLock TryLockFile(const std::string& path) {
  // Opened for nobody else: a second opener, in this process or another,
  // is refused until the handle closes, which the system does for a
  // process that dies. A reparse point is opened as itself, never followed.
  // INVALID_HANDLE_VALUE is -1, the owner's "none".
  HANDLE file = CreateFileW(ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  return FileLock(reinterpret_cast<intptr_t>(file));
}

}  // namespace tarn

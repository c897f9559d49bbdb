#include <windows.h>

#include <utility>

#include "platform/input_file.h"
#include "platform/windows/wide.h"

namespace tarn {
namespace {

HANDLE AsHandle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }

int64_t Ticks(const FILETIME& t) {
  return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

}  // namespace

InputFile::~InputFile() {
  if (isOpen()) CloseHandle(AsHandle(handle_));
}

InputFile::InputFile(InputFile&& other) noexcept : handle_(std::exchange(other.handle_, kClosed)) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) adopt(std::exchange(other.handle_, kClosed));
  return *this;
}

void InputFile::adopt(intptr_t handle) {
  if (isOpen()) CloseHandle(AsHandle(handle_));
  handle_ = handle;
}

bool OpenInputFile(const std::string& path, InputFile& file) {
  file.adopt(-1);
  // A link or junction is opened as itself and then refused below.
  const HANDLE h = CreateFileW(ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  file.adopt(reinterpret_cast<intptr_t>(h));
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    file.adopt(-1);
    return false;
  }
  return true;
}

int64_t ReadInputFile(InputFile& file, uint64_t offset, char* buffer, size_t size) {
  if (!file.isOpen()) return -1;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD n = 0;
  const DWORD ask = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
  if (!ReadFile(AsHandle(file.handle()), buffer, ask, &n, &at)) return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  return n;
}

FileStamp StampOf(InputFile& file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.isOpen() || !GetFileInformationByHandle(AsHandle(file.handle()), &info)) return {};
  return {.size = static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow),
          .written = Ticks(info.ftLastWriteTime),
          .changed = static_cast<int64_t>(info.nFileIndexLow)};
}

}  // namespace tarn

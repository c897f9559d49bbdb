#include <windows.h>

#include <string>
#include <utility>

#include "platform/output_file.h"
#include "platform/windows/wide.h"

namespace tarn {
namespace {

HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// ERROR_DISK_QUOTA_EXCEEDED, which mingw-w64's headers do not name: the
// user's quota is as full as a full disk.
constexpr DWORD kDiskQuotaExceeded = 1295;

WriteResult StatusOf(DWORD error) {
  return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL || error == kDiskQuotaExceeded
             ? Fail(FileError::DiskFull)
             : Fail(FileError::Failed);
}

// Whether an open handle is a plain file on a disk: not a link or junction
// (opened as itself with FILE_FLAG_OPEN_REPARSE_POINT), a folder, a pipe or
// a device.
bool IsPlainDiskFile(HANDLE h) {
  if (GetFileType(h) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return false;
  return (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

bool IsPlainFileName(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

}  // namespace

OutputFile::~OutputFile() {
  if (isOpen()) CloseHandle(AsHandle(handle_));
}

OutputFile::OutputFile(OutputFile&& other) noexcept : handle_(other.release()) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) adopt(other.release());
  return *this;
}

void OutputFile::adopt(intptr_t handle) {
  if (isOpen()) CloseHandle(AsHandle(handle_));
  handle_ = handle;
}

intptr_t OutputFile::release() { return std::exchange(handle_, kClosed); }

WriteResult OpenOutputFile(const std::string& path, uint64_t offset, OutputFile& file) {
  file.adopt(-1);
  const std::wstring wide = ToWide(path);
  // A fresh file takes the place of whatever held the name; a link there is
  // deleted as itself, never followed.
  if (offset == 0 && !DeleteFileW(wide.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
      GetLastError() != ERROR_PATH_NOT_FOUND)
    return Fail(FileError::Failed);
  const HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               offset == 0 ? CREATE_NEW : OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return StatusOf(GetLastError());
  if (!IsPlainDiskFile(h)) {
    CloseHandle(h);
    return Fail(FileError::Failed);
  }
  file.adopt(reinterpret_cast<intptr_t>(h));
  if (offset > 0) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(h, to, nullptr, FILE_BEGIN)) {
      file.adopt(-1);
      return Fail(FileError::Failed);
    }
  }
  return {};
}

WriteResult MakeOutputFolder(const std::string& path) {
  const std::wstring wide = ToWide(path);
  if (CreateDirectoryW(wide.c_str(), nullptr)) return {};
  const DWORD error = GetLastError();
  if (error != ERROR_ALREADY_EXISTS) return StatusOf(error);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    return Fail(FileError::Failed);
  return {};
}

WriteResult WriteOutputFile(OutputFile& file, std::string_view bytes) {
  if (!file.isOpen()) return Fail(FileError::Failed);
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(AsHandle(file.handle()), bytes.data(), chunk, &written, nullptr)) return StatusOf(GetLastError());
    if (written == 0) return Fail(FileError::Failed);
    bytes.remove_prefix(written);
  }
  return {};
}

// Windows has no call that starts the write-back of a range without
// waiting for it; the cache manager's lazy writer does it on its own.
void StartWritingOut(OutputFile&, uint64_t, uint64_t) {}

WriteResult CommitOutputFile(OutputFile& file) {
  if (!file.isOpen()) return Fail(FileError::Failed);
  const HANDLE h = AsHandle(file.release());
  WriteResult status;
  if (!FlushFileBuffers(h)) status = StatusOf(GetLastError());
  if (!CloseHandle(h) && status.ok()) status = Fail(FileError::Failed);
  return status;
}

WriteResult SyncFileToDisk(const std::string& path) {
  // Flushing needs write access, though nothing is written.
  const HANDLE h = CreateFileW(ToWide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail(FileError::Failed);
  OutputFile file;
  file.adopt(reinterpret_cast<intptr_t>(h));
  if (!IsPlainDiskFile(h)) return Fail(FileError::Failed);
  return CommitOutputFile(file);
}

Result<uint64_t, FileError> FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(ToWide(path).c_str(), GetFileExInfoStandard, &data)) return Fail(FileError::Missing);
  if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
    return Fail(FileError::Missing);
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool MoveFileOver(const std::string& from, const std::string& to) {
  const std::wstring source = ToWide(from);
  if (!IsPlainFileName(source)) return false;
  const std::wstring target = ToWide(to);
  // A read-only target refuses to be replaced; its attributes go first.
  SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// FlushFileBuffers flushes one file; there is no cheaper way to flush many.
void CommitOutputFiles(OutputFile* const* files, size_t count, WriteResult* results) {
  for (size_t i = 0; i < count; ++i) results[i] = CommitOutputFile(*files[i]);
}

}  // namespace tarn

#include <windows.h>

#include <string>
#include <vector>

#include "platform/folder_move.h"
#include "platform/unique_handle.h"
#include "platform/windows/wide.h"

namespace tarn {
namespace {

struct FindTraits {
  using Value = HANDLE;
  static Value None() { return INVALID_HANDLE_VALUE; }
  static bool Free(Value find) { return FindClose(find) != 0; }
};
using FindHandle = UniqueHandle<FindTraits>;

// A folder that is no reparse point (no junction, no link).
bool IsRealFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The volume path is, or would be, on: the mount point of its nearest
// existing folder.
bool VolumeOf(const std::string& path, std::wstring& volume) {
  std::wstring wide = ToWide(path);
  while (!wide.empty() && GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const size_t slash = wide.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return false;
    wide.resize(slash);
  }
  if (wide.empty()) return false;
  wchar_t mount[MAX_PATH + 1] = {};
  if (!GetVolumePathNameW(wide.c_str(), mount, MAX_PATH)) return false;
  wchar_t name[64] = {};
  volume = GetVolumeNameForVolumeMountPointW(mount, name, 64) ? name : mount;
  return true;
}

}  // namespace

Result<bool, FileError> OnSameFileSystem(const std::string& from, const std::string& to) {
  std::wstring a, b;
  if (!VolumeOf(from, a) || !VolumeOf(to, b)) return Fail(FileError::Failed);
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

Result<void, RenameProblem> RenameFolder(const std::string& from, const std::string& to) {
  const std::wstring source = ToWide(from);
  if (!IsRealFolder(source)) return Fail(RenameProblem::Failed);
  // No copy allowed: across volumes the job copies and checks itself.
  if (MoveFileExW(source.c_str(), ToWide(to).c_str(), 0)) return {};
  return Fail(GetLastError() == ERROR_NOT_SAME_DEVICE ? RenameProblem::OtherFileSystem : RenameProblem::Failed);
}

Result<std::vector<std::string>, FileError> FolderNames(const std::string& folder, size_t limit) {
  const std::wstring wide = ToWide(folder);
  if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return Fail(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileError::Missing : FileError::Failed);
  }
  if (!IsRealFolder(wide)) return Fail(FileError::Failed);
  WIN32_FIND_DATAW data{};
  const FindHandle find(FindFirstFileExW((wide + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                         nullptr, 0));
  if (!find.ok()) return Fail(FileError::Failed);
  std::vector<std::string> names;
  do {
    const std::wstring_view name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    names.push_back(FromWide(name));
  } while (names.size() < limit && FindNextFileW(find.get(), &data));
  return names;
}

bool RemoveEmptyFolder(const std::string& folder) {
  const std::wstring wide = ToWide(folder);
  return IsRealFolder(wide) && RemoveDirectoryW(wide.c_str()) != 0;
}

}  // namespace tarn

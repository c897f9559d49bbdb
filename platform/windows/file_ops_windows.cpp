#include <windows.h>

#include <sddl.h>

#include <string>
#include <vector>

#include "platform/file_ops.h"
#include "platform/windows/handle.h"
#include "platform/windows/wide.h"

namespace tarn {
namespace {

bool WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

// The current user's SID in its text form ("S-1-5-21-..."); empty when the
// process token cannot tell.
std::wstring CurrentUserSid() {
  Handle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Out())) return {};
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> info(size);
  std::wstring text;
  if (size && GetTokenInformation(token.get(), TokenUser, info.data(), size, &size)) {
    LocalMemory<wchar_t> sid;
    if (ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid, sid.Out())) text = sid.get();
  }
  return text;
}

// The replace itself; security is nullptr for the folder's defaults.
bool ReplaceWithSecurity(const std::string& path, std::string_view bytes, SECURITY_ATTRIBUTES* security,
                         const std::function<void(const std::string& temp)>& before = {}) {
  // A name of this process and thread alone, so two writers of the same
  // file never write into each other's temporary file (a thread writes one
  // at a time, and the file is gone before the call returns); the last
  // move wins whole.
  const std::wstring target = ToWide(path);
  const std::wstring temp =
      target + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetCurrentThreadId()) + L".tmp";
  if (before) before(FromWide(temp));
  Handle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.ok()) return false;
  const bool written = WriteAll(file.get(), bytes) && FlushFileBuffers(file.get()) != 0;
  const bool closed = file.Close();
  // MOVEFILE_WRITE_THROUGH returns only once the rename is on disk, which
  // is what a power cut right afterwards needs.
  if (!written || !closed ||
      !MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool IsFile(const std::string& path) {
  if (path.empty()) return false;
  const DWORD attributes = GetFileAttributesW(ToWide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string FullPath(const std::string& path) {
  if (path.empty()) return {};
  wchar_t buf[MAX_PATH];
  const DWORD n = GetFullPathNameW(ToWide(path).c_str(), MAX_PATH, buf, nullptr);
  // A result that does not fit comes back as the size it would need.
  if (n == 0 || n >= MAX_PATH) return {};
  std::wstring full(buf, n);
  // A drive root keeps its backslash ("C:\"); any other folder loses it.
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  return FromWide(full);
}

std::string ResolvedPath(const std::string& path) {
  const std::string full = FullPath(path);
  std::string head = full;
  std::string tail;
  while (head.size() >= 3) {
    // Opening a folder needs backup semantics; no access is asked for, so
    // a file in use or a folder of another user still answers.
    Handle file(CreateFileW(ToWide(head).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file.ok()) {
      std::wstring buf(32768, L'\0');
      const DWORD n = GetFinalPathNameByHandleW(file.get(), buf.data(), static_cast<DWORD>(buf.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
      if (n == 0 || n >= buf.size()) return full;
      buf.resize(n);
      if (buf.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        buf = L"\\\\" + buf.substr(8);
      } else if (buf.rfind(L"\\\\?\\", 0) == 0) {
        buf = buf.substr(4);
      }
      std::string resolved = FromWide(buf);
      while (resolved.size() > 3 && resolved.back() == '\\') resolved.pop_back();
      if (tail.empty()) return resolved;
      return resolved.back() == '\\' ? resolved + tail : resolved + "\\" + tail;
    }
    const size_t slash = head.rfind('\\');
    if (slash == std::string::npos || slash < 2 || head.size() == 3) break;
    tail = tail.empty() ? head.substr(slash + 1) : head.substr(slash + 1) + "\\" + tail;
    head = slash == 2 ? head.substr(0, 3) : head.substr(0, slash);
  }
  return full;
}

// Pure text, so the same on every Windows: a last backslash at index 0, 1
// or 2 means the parent is a drive root (or there is none), which a search
// must not reach.
std::string SearchParent(const std::string& folder) {
  const size_t slash = folder.rfind('\\');
  if (slash == std::string::npos || slash <= 2) return {};
  return folder.substr(0, slash);
}

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, FileAccess access) {
  if (access == FileAccess::Shared) return ReplaceWithSecurity(path, bytes, nullptr);
  // A protected DACL with one entry: full access for the current user, and
  // nothing inherited from the folder.
  const std::wstring sid = CurrentUserSid();
  if (sid.empty()) return false;
  const std::wstring sddl = L"D:P(A;;FA;;;" + sid + L")";
  LocalMemory<void> descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor.Out(), nullptr))
    return false;
  SECURITY_ATTRIBUTES security{sizeof security, descriptor.get(), FALSE};
  return ReplaceWithSecurity(path, bytes, &security);
}

bool ReplaceSharedFileAtomically(const std::string& path, std::string_view bytes,
                                 const std::function<void(const std::string& temp)>& before) {
  return ReplaceWithSecurity(path, bytes, nullptr, before);
}

}  // namespace tarn

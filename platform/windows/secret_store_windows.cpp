#include <windows.h>
// windows.h first: the crypto and security headers build on its types.
#include <dpapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "platform/secret_store.h"
#include "platform/windows/replace_file.h"
#include "platform/windows/wide.h"

namespace tarn {
namespace {

// Frees a buffer that a Win32 call allocated with LocalAlloc, wiping it
// first when it held a secret.
struct LocalBuffer {
  void* p = nullptr;
  size_t wipe = 0;
  LocalBuffer() = default;
  LocalBuffer(const LocalBuffer&) = delete;
  LocalBuffer& operator=(const LocalBuffer&) = delete;
  ~LocalBuffer() {
    if (!p) return;
    if (wipe) SecureZeroMemory(p, wipe);
    LocalFree(p);
  }
};

DATA_BLOB Blob(std::string_view bytes) {
  return {static_cast<DWORD>(bytes.size()), reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()))};
}

// The current user's SID in its text form ("S-1-5-21-..."); empty when the
// process token cannot tell.
std::wstring CurrentUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> info(size);
  std::wstring text;
  if (size && GetTokenInformation(token, TokenUser, info.data(), size, &size)) {
    LocalBuffer sid;
    if (ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid,
                               reinterpret_cast<wchar_t**>(&sid.p)))
      text = static_cast<wchar_t*>(sid.p);
  }
  CloseHandle(token);
  return text;
}

}  // namespace

bool ProtectForUser(std::string_view plain, std::string_view description, std::string& sealed) {
  sealed.clear();
  if (plain.size() > MAXDWORD) return false;
  DATA_BLOB in = Blob(plain);
  DATA_BLOB out{};
  if (!CryptProtectData(&in, ToWide(description).c_str(), nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                        &out))
    return false;
  LocalBuffer owned;
  owned.p = out.pbData;
  sealed.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
  return true;
}

bool UnprotectForUser(std::string_view sealed, std::string_view, std::string& plain) {
  plain.clear();
  if (sealed.empty() || sealed.size() > MAXDWORD) return false;
  DATA_BLOB in = Blob(sealed);
  DATA_BLOB out{};
  // The description travels inside the blob and is checked by nobody here:
  // the data-protection key already ties the bytes to this user.
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) return false;
  LocalBuffer owned;
  owned.p = out.pbData;
  owned.wipe = out.cbData;
  plain.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
  return true;
}

bool ReplacePrivateFile(const std::string& path, std::string_view bytes) {
  const std::wstring sid = CurrentUserSid();
  if (sid.empty()) return false;
  // A protected DACL with one entry: full access for the current user, and
  // nothing inherited from the folder.
  const std::wstring sddl = L"D:P(A;;FA;;;" + sid + L")";
  LocalBuffer descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor.p, nullptr))
    return false;
  SECURITY_ATTRIBUTES security{sizeof security, descriptor.p, FALSE};
  return ReplaceFileWithSecurity(path, bytes, &security);
}

}  // namespace tarn

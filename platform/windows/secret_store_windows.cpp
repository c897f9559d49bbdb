#include <windows.h>
// windows.h first: the crypto and security headers build on its types.
#include <dpapi.h>

#include <string>

#include "platform/secret_store.h"
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

}  // namespace tarn

#include "platform/secret_store.h"

namespace tarn {

// TODO: CryptProtectData over plain with description as the data
// description, no entropy, no prompt, CRYPTPROTECT_UI_FORBIDDEN, then
// LocalFree of the blob. Until then nothing can be sealed.
bool ProtectForUser(std::string_view, std::string_view, std::string& sealed) {
  sealed.clear();
  return false;
}

// TODO: CryptUnprotectData without description, entropy or prompt,
// CRYPTPROTECT_UI_FORBIDDEN, then LocalFree. Until then nothing opens.
bool UnprotectForUser(std::string_view, std::string_view, std::string& plain) {
  plain.clear();
  return false;
}

// TODO: CreateFileW of a unique temporary file in the same folder with a
// security descriptor granting only the current user, WriteFile,
// FlushFileBuffers, then MoveFileExW with MOVEFILE_REPLACE_EXISTING |
// MOVEFILE_WRITE_THROUGH. Until then nothing is replaced.
bool ReplacePrivateFile(const std::string&, std::string_view) { return false; }

}  // namespace tarn

#include <string_view>

#include "client/file_list.h"
#include "client/list_key.h"

namespace tarn {

bool VerifyListSignature(std::string_view body, std::string& signedText) {
  for (const std::string_view key : {std::string_view(kListPublicKeyPem), std::string_view(kSecondListPublicKeyPem)})
    if (!key.empty() && VerifyListSignature(body, key, signedText)) return true;
  return false;
}

}  // namespace tarn

#include "client/file_list.h"
#include "client/list_key.h"

namespace tarn {

bool VerifyListSignature(std::string_view body, std::string& signedText) {
  return VerifyListSignature(body, kListPublicKeyPem, signedText);
}

}  // namespace tarn

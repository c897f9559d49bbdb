#include "client/file_list.h"
#include "list_signing.h"

namespace tarn::test {

std::string SignedBody(std::string_view text, const std::string& privatePem) {
  std::string signedBytes;
  for (char c : text)
    if (c != '\r') signedBytes += c;
  const std::string b64 = EncodeBase64(SignBytes(signedBytes, privatePem));
  std::string body(text);
  body += kSignatureMarker;
  body += '\n';
  for (size_t i = 0; i < b64.size(); i += 64) body += b64.substr(i, 64) + "\n";
  return body;
}

}  // namespace tarn::test

#include "tools/common/base64.h"

#include "client/update.h"

namespace tarn::tools {

std::string EncodeFileToken(std::string_view listPath) {
  static constexpr std::string_view kPrefix = "/api/file?n=";
  return FileRequestPath(listPath).substr(kPrefix.size());
}

bool DecodeFileToken(std::string_view token, std::string& listPath) {
  std::string standard(token);
  for (char& c : standard) {
    if (c == '-') c = '+';
    else if (c == '_') c = '/';
    // Any of these in a token means it was mangled or is an attempt to pass
    // something the encoder never makes.
    else if (c == '+' || c == '/' || c == ' ' || c == '\t' || c == '\r' || c == '\n') return false;
  }
  return DecodeBase64(standard, listPath);
}

}  // namespace tarn::tools

#include "tools/service/query.h"

#include <algorithm>

#include "bridge/base64.h"
#include "platform/encoding.h"

namespace tarn::tools {
namespace {

// "%XX" escapes decoded; "+" stays a plus sign, which Base64 needs. A
// broken escape is kept as it stands.
std::string PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 && HexDigitValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::string QueryValue(const std::string& target, std::string_view key) {
  const size_t q = target.find('?');
  if (q == std::string::npos) return {};
  std::string_view query(target);
  query.remove_prefix(q + 1);
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    if (pair.size() > key.size() && pair.starts_with(key) && pair[key.size()] == '=') {
      return PercentDecode(pair.substr(key.size() + 1));
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return {};
}

bool ClientFileListPath(const std::string& target, std::string& listPath) {
  if (!DecodeBase64Url(QueryValue(target, "n"), listPath)) return false;
  std::replace(listPath.begin(), listPath.end(), '\\', '/');
  return true;
}

}  // namespace tarn::tools

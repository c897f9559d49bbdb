#include "platform/encoding.h"

namespace tarn {

void AppendHex(std::string& out, unsigned char byte, HexCase letters) {
  const char* digits = letters == HexCase::Lower ? "0123456789abcdef" : "0123456789ABCDEF";
  out += digits[byte >> 4];
  out += digits[byte & 0xF];
}

std::string HexText(std::string_view bytes, HexCase letters) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) AppendHex(out, static_cast<unsigned char>(c), letters);
  return out;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentEncode(std::string_view text, bool (*plain)(unsigned char byte)) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (plain(c)) {
      out += ch;
    } else {
      out += '%';
      AppendHex(out, c, HexCase::Upper);
    }
  }
  return out;
}

}  // namespace tarn

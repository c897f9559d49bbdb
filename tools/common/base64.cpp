#include "tools/common/base64.h"

#include <array>

namespace tarn::tools {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> MakeDecodeTable() {
  std::array<int, 256> table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}
constexpr auto kDecode = MakeDecodeTable();

bool IsSkipped(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string EncodeBase64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += rest == 2 ? kAlphabet[v >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

bool DecodeBase64(std::string_view text, std::string& bytes) {
  bytes.clear();
  unsigned acc = 0;
  int bits = 0;
  size_t symbols = 0;
  size_t padding = 0;
  for (char c : text) {
    if (IsSkipped(c)) continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    const int v = kDecode[static_cast<unsigned char>(c)];
    // A symbol after padding means the padding stood in the middle.
    if (v < 0 || padding > 0) {
      bytes.clear();
      return false;
    }
    ++symbols;
    acc = (acc << 6 | static_cast<unsigned>(v)) & 0xFFFFFF;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes += static_cast<char>(acc >> bits & 0xFF);
    }
  }
  // One symbol alone cannot carry a byte, and padding may only fill a group.
  const size_t tail = symbols % 4;
  if (tail == 1 || padding > 2 || (padding > 0 && (symbols + padding) % 4 != 0)) {
    bytes.clear();
    return false;
  }
  return true;
}

std::string EncodeFileToken(std::string_view listPath) {
  std::string token = EncodeBase64(listPath);
  for (char& c : token) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return token;
}

bool DecodeFileToken(std::string_view token, std::string& listPath) {
  std::string standard(token);
  for (char& c : standard) {
    if (c == '-') c = '+';
    else if (c == '_') c = '/';
    // Any of these in a token means it was mangled or is an attempt to pass
    // something the encoder never makes.
    else if (c == '+' || c == '/' || IsSkipped(c)) return false;
  }
  return DecodeBase64(standard, listPath);
}

}  // namespace tarn::tools

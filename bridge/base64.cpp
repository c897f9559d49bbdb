#include "bridge/base64.h"

#include <array>
#include <cstdint>

namespace tarn {
namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<signed char, 256> MakeBase64Table() {
  std::array<signed char, 256> t{};
  for (auto& v : t) v = -1;
  for (size_t i = 0; i < kAlphabet.size(); ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
  return t;
}
constexpr auto kBase64 = MakeBase64Table();

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string EncodeBase64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  const auto byte = [&bytes](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k])); };
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    const uint32_t v = byte(i) << 16 | (rest == 2 ? byte(i + 1) << 8 : 0);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += rest == 2 ? kAlphabet[v >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

bool DecodeBase64(std::string_view text, std::string& out) {
  out.clear();
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3 + 2);
  uint32_t group = 0;
  int held = 0;      // sextets in group
  int padding = 0;   // '=' seen so far
  size_t sextets = 0;
  for (char c : text) {
    if (IsBlank(c)) continue;
    if (c == '=') {
      ++padding;
      if (padding > 2) return false;
      continue;
    }
    const int value = kBase64[static_cast<unsigned char>(c)];
    if (value < 0 || padding > 0) return false;  // data after padding
    group = (group << 6) | static_cast<uint32_t>(value);
    ++held;
    ++sextets;
    if (held == 4) {
      bytes += static_cast<char>((group >> 16) & 0xFF);
      bytes += static_cast<char>((group >> 8) & 0xFF);
      bytes += static_cast<char>(group & 0xFF);
      group = 0;
      held = 0;
    }
  }
  // One sextet alone cannot carry a byte; padding must fill the last group
  // exactly when it is present.
  if (held == 1 || (padding > 0 && (sextets + static_cast<size_t>(padding)) % 4 != 0)) return false;
  if (held == 2) {
    bytes += static_cast<char>((group >> 4) & 0xFF);
  } else if (held == 3) {
    bytes += static_cast<char>((group >> 10) & 0xFF);
    bytes += static_cast<char>((group >> 2) & 0xFF);
  }
  out = std::move(bytes);
  return true;
}

std::string EncodeBase64Url(std::string_view bytes) {
  std::string text = EncodeBase64(bytes);
  for (char& c : text) {
    if (c == '+') c = '-';
    else if (c == '/') c = '_';
  }
  return text;
}

bool DecodeBase64Url(std::string_view text, std::string& bytes) {
  std::string standard(text);
  for (char& c : standard) {
    if (c == '-') c = '+';
    else if (c == '_') c = '/';
    else if (c == '+' || c == '/' || IsBlank(c)) {
      bytes.clear();
      return false;
    }
  }
  return DecodeBase64(standard, bytes);
}

}  // namespace tarn

#include "bridge/text.h"

#include <cstdint>

namespace tarn {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point starting at text[i] and advances i. Ill-formed
// input yields U+FFFD and advances past the maximal subpart only, so that a
// valid sequence right after garbage is not swallowed.
char32_t DecodeUtf8(std::string_view text, size_t& i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  int need = 0;
  char32_t cp = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // range allowed for the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;  // no encoded surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    ++i;
    return kReplacement;
  }
  ++i;
  for (int k = 0; k < need; ++k) {
    if (i >= text.size()) return kReplacement;
    const unsigned char b = byte(i);
    const unsigned char min = k == 0 ? lo : 0x80;
    const unsigned char max = k == 0 ? hi : 0xBF;
    if (b < min || b > max) return kReplacement;
    cp = (cp << 6) | (b & 0x3F);
    ++i;
  }
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool IsHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the four hex digits of a \u escape at raw[at]; -1 when malformed.
int32_t ReadHex4(std::string_view raw, size_t at) {
  if (at + 4 > raw.size()) return -1;
  int32_t v = 0;
  for (size_t k = at; k < at + 4; ++k) {
    const int h = HexValue(raw[k]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

bool IsAscii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace

std::string WideToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t u = text[i];
    if (IsHighSurrogate(u) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      u = 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      u = kReplacement;
    }
    AppendUtf8(out, u);
  }
  return out;
}

std::u16string Utf8ToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const char32_t cp = DecodeUtf8(text, i);
    if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string SanitizeUtf8(std::string_view text) {
  if (IsAscii(text)) return std::string(text);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) AppendUtf8(out, DecodeUtf8(text, i));
  return out;
}

std::string JsonEscape(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      AppendUtf8(out, DecodeUtf8(text, i));
      continue;
    }
    ++i;
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

std::string JsonField(std::string_view json, std::string_view key) {
  std::string needle;
  needle.reserve(key.size() + 3);
  needle += '"';
  needle += key;
  needle += "\":";
  if (json.size() < needle.size()) return {};
  const size_t at = json.find(needle);
  if (at == std::string_view::npos) return {};
  size_t i = at + needle.size();
  while (i < json.size() && (json[i] == ' ' || json[i] == '\t')) ++i;
  if (i >= json.size()) return {};

  const char first = json[i];
  if (first == '"') {
    bool escaped = false;
    for (size_t k = i + 1; k < json.size(); ++k) {
      if (escaped) {
        escaped = false;
      } else if (json[k] == '\\') {
        escaped = true;
      } else if (json[k] == '"') {
        return std::string(json.substr(i + 1, k - i - 1));
      }
    }
    return {};
  }
  if (first == '[' || first == '{') {
    const char closer = first == '[' ? ']' : '}';
    int depth = 0;
    bool inString = false, skip = false;
    for (size_t k = i; k < json.size(); ++k) {
      const char c = json[k];
      if (skip) {
        skip = false;
      } else if (c == '\\') {
        if (inString) skip = true;
      } else if (c == '"') {
        inString = !inString;
      } else if (inString) {
        continue;
      } else if (c == first) {
        ++depth;
      } else if (c == closer && --depth == 0) {
        return std::string(json.substr(i, k - i + 1));
      }
    }
    return {};
  }
  const size_t end = json.find_first_of(",}\r\n", i);
  return std::string(json.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i));
}

std::string JsonUnescape(std::string_view raw) {
  if (raw.find('\\') == std::string_view::npos) return SanitizeUtf8(raw);
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size();) {
    const char c = raw[i];
    if (c != '\\' || i + 1 >= raw.size()) {
      if (static_cast<unsigned char>(c) < 0x80) {
        out += c;
        ++i;
      } else {
        AppendUtf8(out, DecodeUtf8(raw, i));
      }
      continue;
    }
    const char e = raw[i + 1];
    char simple = 0;
    switch (e) {
      case '"': simple = '"'; break;
      case '\\': simple = '\\'; break;
      case '/': simple = '/'; break;
      case 'b': simple = '\b'; break;
      case 'f': simple = '\f'; break;
      case 'n': simple = '\n'; break;
      case 'r': simple = '\r'; break;
      case 't': simple = '\t'; break;
      default: break;
    }
    if (simple) {
      out += simple;
      i += 2;
      continue;
    }
    const int32_t unit = e == 'u' ? ReadHex4(raw, i + 2) : -1;
    if (unit < 0) {  // unknown or truncated escape: keep it literally
      out += '\\';
      ++i;
      continue;
    }
    i += 6;
    char32_t cp = static_cast<char32_t>(unit);
    if (IsHighSurrogate(cp)) {
      const int32_t low = (i + 1 < raw.size() && raw[i] == '\\' && raw[i + 1] == 'u') ? ReadHex4(raw, i + 2) : -1;
      if (low >= 0 && IsLowSurrogate(static_cast<char32_t>(low))) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(low) - 0xDC00);
        i += 6;
      } else {
        cp = kReplacement;
      }
    } else if (IsLowSurrogate(cp)) {
      cp = kReplacement;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::string JsonString(std::string_view json, std::string_view key) {
  return JsonUnescape(JsonField(json, key));
}

}  // namespace tarn

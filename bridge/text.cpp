#include "bridge/text.h"

#include <cstdint>
#include <cstdio>

#include "platform/encoding.h"

namespace tarn {
namespace {

// Reads the four hex digits of a \u escape at raw[at]; -1 when malformed.
int32_t ReadHex4(std::string_view raw, size_t at) {
  if (at + 4 > raw.size()) return -1;
  int32_t v = 0;
  for (size_t k = at; k < at + 4; ++k) {
    const int h = HexDigitValue(raw[k]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

// The character a one-letter JSON escape (the letter after the backslash)
// stands for; 0 when e starts no such escape.
char SimpleEscape(char e) {
  switch (e) {
    case '"': return '"';
    case '\\': return '\\';
    case '/': return '/';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return 0;
  }
}

}  // namespace

std::string JsonEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  AppendJsonEscaped(out, text);
  return out;
}

void AppendJsonEscaped(std::string& out, std::string_view text) {
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
          AppendHex(out, c);
        } else {
          out += static_cast<char>(c);
        }
    }
  }
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
    if (const char simple = SimpleEscape(e)) {
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

std::string FormatSize(uint64_t bytes) {
  static constexpr const char* kUnits[] = {"Б", "КБ", "МБ", "ГБ", "ТБ"};
  double x = static_cast<double>(bytes);
  int i = 0;
  while (x >= 1024 && i < 4) {
    x *= 1.0 / 1024;
    ++i;
  }
  char text[64];
  std::snprintf(text, sizeof text, i == 0 ? "%.0f %s" : (x < 10 ? "%.2f %s" : "%.1f %s"), x, kUnits[i]);
  std::string out = text;
  for (char& c : out)
    if (c == '.') c = ',';
  return out;
}

}  // namespace tarn

#include "platform/http.h"

#include <cctype>
#include <charconv>

namespace tarn {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool IsLoopbackHost(std::string_view host) {
  if (host == "localhost" || host == "::1") return true;
  // Exactly four decimal parts of 0..255, the first 127: "127.1",
  // "127.0.0.1.example.org" or octal and hex spellings are names or
  // addresses a resolver may read otherwise.
  int parts = 0;
  while (parts < 4) {
    const size_t end = host.find('.');
    if ((end == std::string_view::npos) != (parts == 3)) return false;
    const std::string_view part = host.substr(0, end);
    unsigned value = 0;
    const auto [stop, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (part.empty() || part.size() > 3 || ec != std::errc() || stop != part.data() + part.size() || value > 255 ||
        (part.size() > 1 && part.front() == '0') || (parts == 0 && value != 127))
      return false;
    ++parts;
    host.remove_prefix(end == std::string_view::npos ? host.size() : end + 1);
  }
  return true;
}

std::string WireTarget(std::string_view target) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  if (target.empty() || target.front() != '/') out += '/';
  for (const unsigned char c : target) {
    if (c <= 0x20 || c >= 0x7F || c == '#') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int64_t ContentRangeFirst(std::string_view value) {
  while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
  if (!StartsWithNoCase(value, "bytes")) return -1;
  value.remove_prefix(5);
  if (value.empty() || !IsBlank(value.front())) return -1;
  while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
  int64_t first = -1;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), first);
  if (ec != std::errc() || end == value.data() + value.size() || *end != '-' || first < 0) return -1;
  return first;
}

}  // namespace tarn

#include <cctype>
#include <charconv>

#include "platform/download.h"

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

#pragma once
// UTF-8 <-> UTF-16 at the Win32 boundary of the Windows backend. Only files
// of this folder include it; windows.h stays out of the portable headers.
#include <string>
#include <string_view>

#include "platform/unicode.h"

namespace tarn {

// wchar_t is a 16-bit UTF-16 unit on Windows, so the portable conversions of
// platform/unicode.h serve the W calls unchanged; ill-formed text becomes U+FFFD.
static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 wide text is UTF-16");

inline std::wstring ToWide(std::string_view utf8) {
  const std::u16string units = Utf8ToWide(utf8);
  return std::wstring(units.begin(), units.end());
}

inline std::string FromWide(std::wstring_view wide) {
  return WideToUtf8(std::u16string(wide.begin(), wide.end()));
}

}  // namespace tarn

#pragma once
// UTF-8 and UTF-16. Inside the program text is UTF-8; UTF-16 appears only
// at boundaries that are UTF-16 by nature (Win32, the web view, the bytes
// of launcher.log). It sits with the platform so that the Windows backend
// converts at its own boundary without reaching up.
#include <string>
#include <string_view>

namespace tarn {

// What ill-formed text becomes, one per maximal ill-formed piece.
inline constexpr char32_t kReplacement = 0xFFFD;

constexpr bool IsHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
constexpr bool IsLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Decodes one code point starting at text[i] and advances i. Ill-formed
// input yields U+FFFD and advances past the maximal subpart only, so that a
// valid sequence right after garbage is not swallowed.
char32_t DecodeUtf8(std::string_view text, size_t& i);

// Appends cp as UTF-8.
void AppendUtf8(std::string& out, char32_t cp);

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD; no byte-order mark
// is added.
std::string WideToUtf8(std::u16string_view text);

// UTF-8 to UTF-16. Each maximal ill-formed subsequence becomes one U+FFFD;
// a leading byte-order mark is kept like any other character.
std::u16string Utf8ToWide(std::string_view text);

// Replaces ill-formed UTF-8 the way Utf8ToWide does, so the result is always
// valid UTF-8. Valid input comes back unchanged.
std::string SanitizeUtf8(std::string_view text);

}  // namespace tarn

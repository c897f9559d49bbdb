#pragma once
// Text helpers shared by every subsystem (the UTF-8 and UTF-16 conversions
// come with platform/unicode.h). Events are written from fixed
// templates and incoming JSON is read one field at a time: there is no JSON
// tree anywhere, so these few functions define the wire format.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/unicode.h"

namespace tarn {

// Makes text safe between the double quotes of a JSON string: tab, line
// feed, carriage return, quote and backslash get their short escapes, every
// other control character below U+0020 becomes \u00xx (lower-case hex), and
// everything else passes unchanged (the slash too). Ill-formed UTF-8 is
// replaced by U+FFFD so that an Event is always valid JSON.
std::string JsonEscape(std::string_view text);

// JsonEscape(text) appended to out. At most kJsonEscapeGrowth bytes per
// byte of text, so an out reserved for that never moves to a new block
// (which would leave the bytes behind in the old one).
void AppendJsonEscaped(std::string& out, std::string_view text);
inline constexpr size_t kJsonEscapeGrowth = 6;

// Reads the raw text of one value from a JSON text: the first occurrence of
// "key": anywhere in the text, at any depth. Strings come back without
// their quotes and with their escapes undecoded, arrays and objects whole,
// bare values up to the next , } CR or LF. Empty when the key is missing or
// the value is not closed. Service fragments are passed on verbatim through
// this, so it must stay raw.
std::string JsonField(std::string_view json, std::string_view key);

// Decodes the escapes of a JSON string body (\" \\ \/ \b \f \n \r \t and
// \uXXXX with surrogate pairs). An unpaired surrogate becomes U+FFFD; an
// unknown or truncated escape is kept as it stands. The result is valid
// UTF-8.
std::string JsonUnescape(std::string_view raw);

// The decoded string value of one field: JsonUnescape(JsonField(...)).
// This is what a Command's payload fields mean to the workers.
std::string JsonString(std::string_view json, std::string_view key);

// "0 Б", "1,50 КБ", "10,0 МБ", "3,20 ГБ": powers of 1024 up to ТБ, two
// decimals below 10, one from 10, always with a decimal comma.
std::string FormatSize(uint64_t bytes);

}  // namespace tarn

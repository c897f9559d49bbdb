#pragma once
// Bytes as hexadecimal digits and as percent escapes: the checksums, the
// sealed passwords, request targets and file:// addresses are all written
// with these. It sits with the platform, the lowest layer that writes
// either, so every layer above and the operator's tools share one copy.
#include <string>
#include <string_view>

namespace tarn {

enum class HexCase { Lower, Upper };

// Appends byte's two hexadecimal digits.
void AppendHex(std::string& out, unsigned char byte, HexCase letters = HexCase::Lower);

// Every byte of bytes as two hexadecimal digits. The result is reserved at
// its full size first, so no partial copy is left behind in freed memory.
std::string HexText(std::string_view bytes, HexCase letters = HexCase::Lower);

// The value of one hexadecimal digit of either case; -1 for anything else.
int HexDigitValue(char c);

// text with every byte that plain(byte) refuses written as "%XX"
// (upper-case digits, as addresses write them).
std::string PercentEncode(std::string_view text, bool (*plain)(unsigned char byte));

}  // namespace tarn

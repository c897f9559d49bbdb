#pragma once
// Base64 as the file list and the file request path use it. The launcher
// carries its own decoder with the same rules; these are the operator side's.
#include <string>
#include <string_view>

namespace tarn::tools {

// Standard Base64 (RFC 4648 alphabet, "=" padding), no line breaks.
std::string EncodeBase64(std::string_view bytes);

// Standard Base64. Spaces, tabs, CR and LF are skipped anywhere; any other
// character outside the alphabet, padding in the middle, or a length that
// cannot come from whole bytes fails. Missing trailing padding is accepted.
bool DecodeBase64(std::string_view text, std::string& bytes);

// The "n" value of a file request: Base64 of the list path with "+" as "-"
// and "/" as "_", padding kept, so it needs no percent-encoding in a query.
std::string EncodeFileToken(std::string_view listPath);
bool DecodeFileToken(std::string_view token, std::string& listPath);

}  // namespace tarn::tools

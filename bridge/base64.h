#pragma once
// Base64 as the file list, the file request path and the service use it.
// The launcher, the operator's tools and the tests share this one coder, so
// what one side writes the other reads.
#include <string>
#include <string_view>

namespace tarn {

// Standard Base64 with "=" padding and no line breaks: how list paths and
// signatures are written.
std::string EncodeBase64(std::string_view bytes);

// Standard Base64 with "=" padding. Spaces, tabs, CR and LF are skipped
// wherever they stand; any other character outside the alphabet, padding
// anywhere but the end, or a length no encoder produces fails. The padding
// may be left off. Empty input decodes to no bytes and succeeds.
bool DecodeBase64(std::string_view text, std::string& bytes);

// The same with "-" and "_" in place of "+" and "/", padding kept: a value
// that needs no percent-encoding in a query (the "n" of a file request).
std::string EncodeBase64Url(std::string_view bytes);

// The reverse of EncodeBase64Url. A "+", "/" or blank in the text fails:
// the encoder never writes one, so the text was mangled or forged.
bool DecodeBase64Url(std::string_view text, std::string& bytes);

}  // namespace tarn

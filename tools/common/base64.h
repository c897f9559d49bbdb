#pragma once
// Base64 as the file list and the file request path use it. The operator
// side writes and reads exactly what the launcher does, so both use the
// launcher's own coder; only the file token's decoding is the service's.
#include <string>
#include <string_view>

#include "client/file_list.h"

namespace tarn::tools {

using tarn::DecodeBase64;
using tarn::EncodeBase64;

// The "n" value of a file request, exactly as the launcher writes it: Base64
// of the list path with "+" as "-" and "/" as "_", padding kept, so it needs
// no percent-encoding in a query.
std::string EncodeFileToken(std::string_view listPath);
bool DecodeFileToken(std::string_view token, std::string& listPath);

}  // namespace tarn::tools

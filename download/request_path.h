#pragma once
// Where the service serves one listed file.
#include <string>
#include <string_view>

namespace tarn {

// "/api/file?n=" and the list path's UTF-8 in Base64 with "=" padding, "+"
// and "/" written as "-" and "_" so that the query needs no escaping.
std::string FileRequestPath(std::string_view listPath);

}  // namespace tarn

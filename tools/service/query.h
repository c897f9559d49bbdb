#pragma once
// The raw values of a request target's query.
#include <string>
#include <string_view>

namespace tarn::tools {

// One query parameter, percent-decoded; empty when it is missing. The
// library's own parsing turns "+" into a space and splits at every "=",
// which would break a Base64 value with padding.
std::string QueryValue(const std::string& target, std::string_view key);

// The list path a client file request names in its n parameter (URL-safe
// Base64), with "/" separators. False when n is no such token.
bool ClientFileListPath(const std::string& target, std::string& listPath);

}  // namespace tarn::tools

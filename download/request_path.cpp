#include "download/request_path.h"

#include <algorithm>

#include "bridge/base64.h"

namespace tarn {

bool IsMd5Hex(std::string_view text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

std::string FileRequestPath(std::string_view listPath, std::string_view md5) {
  std::string path = "/api/file?n=" + EncodeBase64Url(listPath);
  if (!IsMd5Hex(md5)) return path;
  path += "&h=";
  for (const char c : md5) path += (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
  return path;
}

std::string BlockIndexRequestPath(std::string_view fileRequestPath) {
  constexpr std::string_view kFile = "/api/file?";
  if (!fileRequestPath.starts_with(kFile) || fileRequestPath.find("&h=") == std::string_view::npos) return {};
  return "/api/blocks?" + std::string(fileRequestPath.substr(kFile.size()));
}

}  // namespace tarn

#include "host/gtk/ui_folder.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "host/common/web_page.h"
#include "platform/encoding.h"

namespace tarn {
namespace {

// False on a malformed escape, so a half-written address is refused rather
// than guessed at.
bool PercentDecode(std::string_view in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out += in[i];
      continue;
    }
    if (i + 2 >= in.size()) return false;
    const int hi = HexDigitValue(in[i + 1]);
    const int lo = HexDigitValue(in[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

}  // namespace

std::string UiPrefix() {
  std::string prefix(kUiScheme);
  prefix += "://";
  prefix += kUiHost;
  prefix += '/';
  return prefix;
}

std::string FindUiFolder(const std::string& exeDir) {
  namespace fs = std::filesystem;
  const fs::path beside = fs::path(exeDir) / "ui";
  std::error_code ec;
  const fs::path chosen = fs::exists(beside / kStartPage, ec) ? beside : fs::path(exeDir) / ".." / ".." / "ui";
  fs::path absolute = fs::absolute(chosen, ec);
  if (ec) absolute = chosen;
  std::string out = absolute.lexically_normal().string();
  // lexically_normal keeps a trailing slash when the last part was "..";
  // callers join names to the folder, so it must end without one.
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string ResolveUiFile(const std::string& uiFolder, std::string_view address) {
  const std::string prefix = UiPrefix();
  if (uiFolder.empty() || !address.starts_with(prefix)) return {};
  std::string_view rest = address.substr(prefix.size());
  rest = rest.substr(0, rest.find_first_of("?#"));

  std::string decoded;
  if (!PercentDecode(rest, decoded) || decoded.find('\0') != std::string::npos) return {};

  std::string path = uiFolder;
  size_t begin = 0;
  bool named = false;
  while (begin <= decoded.size()) {
    const size_t end = std::min(decoded.find('/', begin), decoded.size());
    const std::string_view part = std::string_view(decoded).substr(begin, end - begin);
    begin = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return {};
    path += '/';
    path += part;
    named = true;
  }
  return named ? path : std::string();
}

std::string_view MimeTypeFor(std::string_view path) {
  struct Type {
    std::string_view extension;
    std::string_view mime;
  };
  static constexpr Type kTypes[] = {
      {"html", "text/html"},         {"htm", "text/html"},           {"css", "text/css"},
      {"js", "text/javascript"},     {"mjs", "text/javascript"},     {"json", "application/json"},
      {"svg", "image/svg+xml"},      {"png", "image/png"},           {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},        {"gif", "image/gif"},           {"webp", "image/webp"},
      {"avif", "image/avif"},        {"ico", "image/x-icon"},        {"woff", "font/woff"},
      {"woff2", "font/woff2"},       {"ttf", "font/ttf"},            {"otf", "font/otf"},
      {"txt", "text/plain"},         {"wasm", "application/wasm"},   {"mp3", "audio/mpeg"},
      {"ogg", "audio/ogg"},          {"wav", "audio/wav"},           {"mp4", "video/mp4"},
      {"webm", "video/webm"},
  };
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return "application/octet-stream";
  std::string extension(path.substr(dot + 1));
  for (char& c : extension)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  for (const Type& type : kTypes)
    if (extension == type.extension) return type.mime;
  return "application/octet-stream";
}

}  // namespace tarn

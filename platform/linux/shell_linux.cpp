#include "platform/shell.h"

namespace tarn {
namespace {

// Percent-encodes everything but the unreserved characters and '/', which
// is what a file:// address needs for any local path, Cyrillic included.
std::string FileUri(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "file://";
  for (unsigned char c : path) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

}  // namespace

ShellTarget TextViewerFor(const std::string& filePath) { return {FileUri(filePath), {}}; }

std::string FolderTarget(const std::string& folderPath) { return FileUri(folderPath); }

}  // namespace tarn

#include "platform/shell.h"

#include "platform/encoding.h"
namespace tarn {
namespace {

// Percent-encodes everything but the unreserved characters and '/', which
// is what a file:// address needs for any local path, Cyrillic included.
std::string FileUri(const std::string& path) {
  return "file://" + PercentEncode(path, [](unsigned char c) {
           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                  c == '_' || c == '~' || c == '/';
         });
}

}  // namespace

ShellTarget TextViewerFor(const std::string& filePath) { return {FileUri(filePath), {}}; }

std::string FolderTarget(const std::string& folderPath) { return FileUri(folderPath); }

}  // namespace tarn

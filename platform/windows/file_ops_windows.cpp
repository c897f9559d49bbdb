#include "platform/file_ops.h"

namespace tarn {

// TODO: GetFileAttributesW, true when it succeeds without
// FILE_ATTRIBUTE_DIRECTORY. Until then no file is seen.
bool IsFile(const std::string&) { return false; }

// TODO: GetFullPathNameW with a 260-unit buffer, empty when it does not
// fit. Until then no path is normalised.
std::string FullPath(const std::string&) { return {}; }

// Pure text, so the same on every Windows: a last backslash at index 0, 1
// or 2 means the parent is a drive root (or there is none), which a search
// must not reach.
std::string SearchParent(const std::string& folder) {
  const size_t slash = folder.rfind('\\');
  if (slash == std::string::npos || slash <= 2) return {};
  return folder.substr(0, slash);
}

// TODO: CreateFileW of a unique temporary file in the same folder,
// WriteFile, FlushFileBuffers, then MoveFileExW with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH. Until then nothing is
// replaced.
bool ReplaceFileAtomically(const std::string&, std::string_view) { return false; }

}  // namespace tarn

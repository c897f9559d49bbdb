#pragma once
// The crash-safe replace shared by the Windows file services: a temporary
// file beside the target, flushed, then moved over it.
#include <windows.h>

#include <string>
#include <string_view>

namespace tarn {

// Writes bytes to a new temporary file in path's folder, created with the
// given security (nullptr for the folder's default), flushes it and moves it
// over path. False, with the old file untouched and no temporary file left,
// when any step fails.
bool ReplaceFileWithSecurity(const std::string& path, std::string_view bytes, SECURITY_ATTRIBUTES* security);

}  // namespace tarn

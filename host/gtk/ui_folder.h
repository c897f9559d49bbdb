#pragma once
// How the GTK host serves the UI folder: a private scheme registered as
// secure stands in for the https origin the Windows web view maps the
// folder to. Everything here is plain text and file logic, so it can be
// tested without a display.
#include <string>
#include <string_view>

namespace tarn {

inline constexpr std::string_view kUiScheme = "tarn";

// The scheme, host and slash every page address begins with.
std::string UiPrefix();

// ExeDir/ui when it holds index.html (file or folder); otherwise ExeDir/../../ui
// untested, which is where the page lives when the program runs from a
// build tree. Absolute and lexically normalised.
std::string FindUiFolder(const std::string& exeDir);

// The file inside uiFolder that a request address names, or empty when the
// address is not under the UI prefix or would leave the folder. Query and
// fragment are ignored and percent escapes are decoded before the check,
// so an encoded ".." cannot climb out.
std::string ResolveUiFile(const std::string& uiFolder, std::string_view address);

// The Content-Type for a served file, by its extension.
std::string_view MimeTypeFor(std::string_view path);

}  // namespace tarn

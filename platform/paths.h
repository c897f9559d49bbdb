#pragma once
// Where the program lives and how native paths are joined. Every file the
// launcher owns (log, data folder, UI folder) is found from ExeDir.
#include <string>
#include <string_view>

namespace tarn {

// The folder of the running executable, without a trailing separator.
// Empty when the platform cannot tell, in which case files land relative
// to the working folder.
std::string ExeDir();

// The separator of native paths: '/' on Linux, '\\' on Windows.
char NativeSeparator();

// dir + separator + name; either side may be empty.
std::string JoinPath(std::string_view dir, std::string_view name);

}  // namespace tarn

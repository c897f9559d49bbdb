#pragma once
// Where the program lives, where it keeps its state, and how native paths
// are joined. The UI folder is found from ExeDir; the log and the data folder
// from StateDir.
#include <string>
#include <string_view>

namespace tarn {

// The folder of the running executable, without a trailing separator.
// Empty when the platform cannot tell, in which case files land relative
// to the working folder.
std::string ExeDir();

// The running executable itself; empty when the platform cannot tell.
std::string ExePath();

// The name of the file that marks an installed copy of the program: the
// package places it beside the executable.
inline constexpr std::string_view kInstalledMarker = "installed";

// The folder that holds launcher.log and the data folder "data".
// A copy that runs from its build folder or from a folder it was unpacked
// to keeps its state beside itself: StateDir is ExeDir. On Linux a copy
// that is installed (kInstalledMarker beside it) or whose folder the user
// cannot write to keeps it in the user's own data folder,
// $XDG_DATA_HOME/tarn-launcher (by default ~/.local/share/tarn-launcher),
// made private when missing, so that every OS user has a state of their
// own. Windows always keeps it beside the program.
std::string StateDir();

// StateDir for a program in exeDir, read from the environment now.
// When the user folder is wanted but cannot be named or made, exeDir.
std::string StateDirFor(const std::string& exeDir);

// The separator of native paths: '/' on Linux, '\\' on Windows.
char NativeSeparator();

// Whether text names a place from the root ("/..." on Linux; "D:\\..." or
// "\\\\..." on Windows) rather than from the working folder.
bool IsAbsolutePath(std::string_view text);

// dir + separator + name; either side may be empty.
std::string JoinPath(std::string_view dir, std::string_view name);

}  // namespace tarn

#pragma once
// Starting the game client: the look for set-aside packs in its folder, and
// the process start itself. The launcher neither waits for nor watches what
// it starts; the game outlives the launcher.
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace tarn {

// Whether any entry of folder matches pattern, a file name with '*'
// wildcards. Letter case does not count, as on the game's own file systems.
// False when the folder cannot be read.
bool FolderHasMatch(const std::string& folder, std::string_view pattern);

// Starts application with commandLine, whose first piece is application in
// double quotes and the rest the arguments as the Windows argument rules
// split them. The program runs in workingFolder with the launcher's
// environment and none of its handles, and is not waited for.
//
// On Linux a program other than a Windows one gets the arguments split from
// commandLine directly. A Windows executable (a file beginning with "MZ")
// runs through `wine` found on PATH in the game's own prefix (GameRuntime),
// by way of the game's starter beside the launcher (tarn-game-starter.exe):
// the starter reads the command line from a pipe, so it stands on no Linux
// process's argument list, and the game sees the line Wine would have built
// from those arguments. That start waits a moment for the starter, whose
// report gives the game's Windows process id or the system's error code.
// A commandLine that does not begin with the quoted application is
// refused, since its split would not give the arguments it was built from.
// Gives the started process's id, or the system's error code (errno on
// Linux, GetLastError on Windows) for the log.
Result<uint32_t, uint32_t> StartProgram(const std::string& application, const std::string& commandLine,
                                        const std::string& workingFolder);

// What a game program needs from this system before it can start. On
// Linux a Windows program runs through `wine` in a Wine prefix of the
// game's own, "wine" in the launcher's state folder (StateDir), never the
// player's default one; on Windows every program is Ready.
enum class GameRuntime {
  Ready,       // starts as it is
  Unprepared,  // the game's prefix is to be made first (PrepareGameRuntime)
  Missing,     // a Windows program and no `wine` on PATH
};
GameRuntime GameRuntimeFor(const std::string& application);

// Makes the game's own Wine prefix, quietly (no Wine dialogs), waiting for
// it at most a few minutes or until stop is raised: slow, so only on a task
// thread. True when the prefix is ready afterwards. A stop ends the
// preparation and every process it started; the next call begins it anew.
// Callers take turns (the launch job holds a lock around it): the second
// finds the first one's prefix and returns.
bool PrepareGameRuntime(const std::atomic<bool>& stop);

// Splits a command line by the rules a Windows program's start-up code
// applies (CommandLineToArgvW): the program name first (up to the next
// double quote when it begins with one, otherwise up to a space or tab),
// then arguments separated by spaces and tabs, where double quotes group,
// 2n backslashes before a quote give n and a grouping quote, 2n+1 give n
// and a literal quote, other backslashes are literal, and a doubled quote
// inside a group gives a literal quote and ends the group. Empty for an
// empty line.
std::vector<std::string> SplitCommandLine(std::string_view line);

// Overwrites text's characters with zeros in a way the compiler may not
// leave out, for text that held a password.
void WipeText(std::string& text);

}  // namespace tarn

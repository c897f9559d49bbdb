#pragma once
// What the game needs from this system before its first start.
#include <mutex>
#include <string>

#include "bridge/context.h"
#include "client/context.h"
#include "platform/result.h"

namespace tarn {

// One preparation of the game's runtime at a time: two starts at once would
// build the same prefix side by side.
struct GameRuntimeLock {
  std::mutex mutex;
};

// What the launch job's functions reach: the client layer's parts and the
// runtime's lock.
struct LaunchContext : ClientContext {
  GameRuntimeLock& runtime;
};

// Why the game was not started. LaunchGame words each for the player.
enum class LaunchProblem {
  InstallRunning,  // the install writes the client
  UpdateRunning,   // the update writes the client
  MoveRunning,     // the client is being moved to another folder
  BadValues,       // a control character in the login or character, NUL in the password
  NoWine,          // a Windows program and no `wine` to run it
  WineNotReady,    // Wine could not make the game's prefix
  Closing,         // the launcher closed while the prefix was made: nothing to tell
  StartFailed,     // the system refused to start the program
};

// Readies what application needs to run (on Linux: Wine and the game's own
// prefix), telling the page through "progress" of a first preparation.
Result<void, LaunchProblem> ReadyGameRuntime(LaunchContext& ctx, const std::string& application);

}  // namespace tarn

#pragma once
// What the game needs from this system before its first start.
#include <mutex>
#include <string>

#include "bridge/context.h"
#include "client/context.h"

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

// Readies what application needs to run (on Linux: Wine and the game's own
// prefix), telling the page through "progress" what happens: a first
// preparation, or what the player must install. False, with the page told,
// when the game cannot start.
bool ReadyGameRuntime(LaunchContext& ctx, const std::string& application);

}  // namespace tarn

#pragma once
// What the game needs from this system before its first start.
#include <string>

#include "bridge/context.h"

namespace tarn {

// Readies what application needs to run (on Linux: Wine and the game's own
// prefix), telling the page through "progress" what happens: a first
// preparation, or what the player must install. False, with the page told,
// when the game cannot start.
bool ReadyGameRuntime(LauncherContext& ctx, const std::string& application);

}  // namespace tarn

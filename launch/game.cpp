#include "launch/game.h"

namespace tarn {

// Not built yet: starts nothing.
void LaunchGame(const std::string&, const std::string&, const std::string&) {}
void PushEnv() {}

}  // namespace tarn

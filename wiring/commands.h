#pragma once
// The page's commands over the real jobs, registered in one place.
#include "wiring/launcher.h"

namespace tarn {

// Fills launcher.commands: every name the page sends (the window commands
// aside, which the hosts serve themselves), the initial push among them.
void RegisterCommands(Launcher& launcher);

}  // namespace tarn

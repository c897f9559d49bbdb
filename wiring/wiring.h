#pragma once
// The command table over the real jobs: what every host and test program
// dispatches through. The bridge's Dispatch and PushAll take the workers
// record; these fill it with the real entry points.
#include <string_view>

#include "bridge/dispatch.h"

namespace tarn {

const Workers& RealWorkers();
// Serves one Command of the launcher ctx with the real workers.
void Dispatch(LauncherContext& ctx, std::string_view command);
// Starts the initial push of state to a page that has just announced itself.
void PushAll(LauncherContext& ctx);

}  // namespace tarn

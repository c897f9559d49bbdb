#pragma once
// The download phase of an install run: the plan's files on several
// connections at once, with pause, stop and three attempts per file.
#include "bridge/context.h"
#include "install/engine.h"
#include "install/progress.h"
#include "install/status.h"

namespace tarn {

// The files of the plan into folder; false when the run ended here (stop or
// failure, already posted).
bool DownloadPhase(InstallContext& ctx, const DownloadPlan& plan, const std::string& folder,
                   TransferCounters& counters);

}  // namespace tarn

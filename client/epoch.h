#pragma once
// The installed "epoch" (client build) and the service's current one.
#include <cstdint>
#include <string>

#include "bridge/context.h"

namespace tarn {

// The "epoch" Event for an installed build (-1: none readable) and the
// service's build (-1: unknown).
std::string EpochEvent(int32_t local, int32_t remote);

// Asks the service for its build ("/TRN/element/version", leading digits);
// false, build untouched, when it cannot be asked.
bool FetchServerBuild(LauncherContext& ctx, int32_t& build);

// Reads the installed build, asks the service for its build and posts the
// "epoch" Event. The Event is always posted.
void PostEpoch(LauncherContext& ctx);

}  // namespace tarn

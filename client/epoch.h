#pragma once
// The installed "epoch" (client build) and the service's current one.
#include <cstdint>
#include <optional>
#include <string>

#include "bridge/context.h"

namespace tarn {

// The "epoch" Event for an installed build (-1: none readable) and the
// service's build (-1: unknown).
std::string EpochEvent(int32_t local, int32_t remote);

// Asks the service for its build ("/TRN/element/version", leading digits);
// nothing when it cannot be asked.
std::optional<int32_t> FetchServerBuild(LauncherContext& ctx);

}  // namespace tarn

#pragma once
// Repair and update of an installed client, and the check for a newer build.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/context.h"
#include "client/context.h"
#include "download/limiter.h"

namespace tarn {

// The task behind "client.update": fetches and checks the list, downloads
// again every listed file whose checksum differs and, when none failed,
// stamps the list's signed build into the version file. A list of a lower
// build than this launcher has had is refused before any file is touched. Reports through status
// rows and "progress". A second update asked for while one runs, or while
// an install runs, is turned away (logged), because both would write the
// same files and ".part" files at once.
void UpdateClient(DownloadContext& ctx);

// Asks the service for its build, compares it with the installed one and
// posts "update" and "progress".
void CheckForUpdate(ClientContext& ctx);

// The same for a build already known: asked, or the signed list's
// (nothing: the service did not answer).
void PostUpdateCheck(ClientContext& ctx, std::optional<int32_t> serviceBuild);

// Posts {"update":{"available":false,"local":L,"remote":R}}.
void PostUpdateStatus(ClientContext& ctx, int32_t local, int32_t remote);

}  // namespace tarn

#pragma once
// Repair and update of an installed client, and the check for a newer build.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/context.h"
#include "client/context.h"
#include "download/limiter.h"

namespace tarn {

// The window thread flips them for the page's "client.pause",
// "client.resume" and "client.stop"; a running update and its downloads
// poll them. Set and cleared only by exchange; read with a plain load.
struct UpdateFlags {
  std::atomic<bool> running{false};
  std::atomic<bool> pauseRequested{false};
  std::atomic<bool> stopRequested{false};
};

// The stop a running update hears from "client.stop" and from closing: the
// files in flight keep what arrived in their ".part" for the next update,
// the files already placed stay, the build is not stamped; a paused update
// wakes up to stop.
void RequestUpdateStop(UpdateFlags& flags);

// What the update reaches: the download layer's parts and its flags.
struct UpdateContext : DownloadContext {
  UpdateFlags& flags;
};

// The task behind "client.update": fetches and checks the list, downloads
// again every listed file whose checksum differs and, when none failed,
// stamps the list's signed build into the version file. A list of a lower
// build than this launcher has had is refused before any file is touched. Reports through status
// rows and "progress". A second update asked for while one runs, or while
// an install runs, is turned away (logged), because both would write the
// same files and ".part" files at once. While it downloads it may be
// paused and stopped; the page hears {"updateRun":{"state":S}}, S "идёт",
// "пауза" or "" once the downloads are over.
void UpdateClient(UpdateContext& ctx);

// Asks the service for its build, compares it with the installed one and
// posts "update" and "progress".
void CheckForUpdate(ClientContext& ctx);

// The same for a build already known: asked, or the signed list's
// (nothing: the service did not answer).
void PostUpdateCheck(ClientContext& ctx, std::optional<int32_t> serviceBuild);

// Posts {"update":{"available":false,"local":L,"remote":R}}.
void PostUpdateStatus(ClientContext& ctx, int32_t local, int32_t remote);

}  // namespace tarn

#pragma once
// The player's cap on download speed: one token bucket for the whole
// launcher (its context's), so every connection of every task together
// stays under it.
// Bytes are counted as they are taken from the network; a transfer that
// runs ahead waits before it reads on, and the sender slows down with it.
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "bridge/context.h"
#include "bridge/token_bucket.h"

namespace tarn {

// The launcher's limit in bytes per second; 0: none. The saved one until
// set otherwise.
void SetDownloadLimit(LauncherContext& ctx, uint64_t bytesPerSecond);
uint64_t DownloadLimit(LauncherContext& ctx);

// Counts bytes just received against the limit and waits while the
// process is ahead of it. cancelled is asked at least every 100 ms; true
// ends the wait at once. A changed limit applies to a wait already running.
void ThrottleReceived(LauncherContext& ctx, uint64_t bytes, const std::function<bool()>& cancelled);

// The payload's "kibps": digits only, up to 4194304 (4 GiB/s); "0" or
// empty for no limit. False for anything else.
bool ParseKibps(std::string_view text, uint64_t& kibps);

// Stored per OS user in the data folder (speed.cfg, one "kibps=N" line),
// read once at start. A damaged file means no limit.
uint64_t SavedKibps(LauncherContext& ctx);

// The "speed.limit" Command: a valid value is kept, applied at once and
// announced; anything else is ignored.
void ApplySpeedLimit(LauncherContext& ctx, const std::string& kibps);
// {"limit":{"kibps":N}} with the limit in force, for the page.
void PostSpeedLimit(LauncherContext& ctx);

}  // namespace tarn

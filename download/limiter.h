#pragma once
// The player's cap on download speed: one token bucket for the whole
// launcher, so every connection of every task together stays under it.
// Bytes are counted as they are taken from the network; a transfer that
// runs ahead waits before it reads on, and the sender slows down with it.
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include <atomic>

#include "bridge/context.h"
#include "bridge/token_bucket.h"
#include "client/context.h"

namespace tarn {

// The one download speed limit every transfer of the launcher draws from.
struct SpeedLimit {
  std::mutex lock;
  TokenBucket bucket;             // guarded by lock
  std::atomic<uint64_t> rate{0};  // the bucket's rate, for the way without a limit
  std::once_flag loaded;          // the saved limit is read at the first use
};

// What the download layer's functions reach: the client layer's parts and
// the speed limit.
struct DownloadContext : ClientContext {
  SpeedLimit& speed;
};

// The launcher's limit in bytes per second; 0: none. The saved one until
// set otherwise.
void SetDownloadLimit(DownloadContext& ctx, uint64_t bytesPerSecond);
uint64_t DownloadLimit(DownloadContext& ctx);

// Counts bytes just received against the limit and waits while the
// process is ahead of it. cancelled is asked at least every 100 ms; true
// ends the wait at once. A changed limit applies to a wait already running.
void ThrottleReceived(DownloadContext& ctx, uint64_t bytes, const std::function<bool()>& cancelled);

// Connections a task keeps open at once under the limit (0: none): one
// per 128 KiB/s of it, at least one, at most most. More connections than
// the limit needs only add receive buffers that fill ahead of the reader.
size_t ConnectionsUnderLimit(uint64_t bytesPerSecond, size_t most);

// What each of connections may hold unread in the system's receive buffer
// under the limit (HttpRequest::receiveWindowBytes); 0 without a limit.
// Together they hold about a quarter second of the limit, so the bytes on
// the wire stay within a few percent of it over any ten seconds; each holds
// at least 8 KiB, so a slow limit still moves in whole pieces, and at most
// 256 KiB, which is all a stop may lose to a closed connection.
size_t ReceiveWindowUnderLimit(uint64_t bytesPerSecond, size_t connections);

// The payload's "kibps": digits only, up to 4194304 (4 GiB/s); "0" or
// empty for no limit. False for anything else.
bool ParseKibps(std::string_view text, uint64_t& kibps);

// Stored per OS user in the data folder (speed.cfg, one "kibps=N" line),
// read once at start. A damaged file means no limit.
uint64_t SavedKibps(LauncherContext& ctx);

// The "speed.limit" Command: a valid value is kept, applied at once and
// announced; anything else is ignored.
void ApplySpeedLimit(DownloadContext& ctx, const std::string& kibps);
// {"limit":{"kibps":N}} with the limit in force, for the page.
void PostSpeedLimit(DownloadContext& ctx);

}  // namespace tarn

#pragma once
// The player's cap on download speed: one token bucket for the whole
// process, so every connection of every task together stays under it.
// Bytes are counted as they are taken from the network; a transfer that
// runs ahead waits before it reads on, and the sender slows down with it.
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace tarn {

// The bucket on its own, on the caller's clock, so its arithmetic can be
// checked without waiting.
class TokenBucket {
 public:
  using Clock = std::chrono::steady_clock;
  // 0: no limit.
  void SetRate(uint64_t bytesPerSecond, Clock::time_point now);
  uint64_t Rate() const { return rate_; }
  // Counts bytes taken at now; how long the taker must wait before the
  // next read (zero when within the limit).
  Clock::duration Take(uint64_t bytes, Clock::time_point now);
  // How long a waiter still has to wait at now; zero once the debt is paid.
  Clock::duration Owed(Clock::time_point now);

 private:
  void Refill(Clock::time_point now);
  uint64_t rate_ = 0;
  double tokens_ = 0;  // may go below zero: a debt the takers wait off
  Clock::time_point last_{};
};

// The process's limit in bytes per second; 0: none. The saved one until
// set otherwise.
void SetDownloadLimit(uint64_t bytesPerSecond);
uint64_t DownloadLimit();

// Counts bytes just received against the limit and waits while the
// process is ahead of it. cancelled is asked at least every 100 ms; true
// ends the wait at once. A changed limit applies to a wait already running.
void ThrottleReceived(uint64_t bytes, const std::function<bool()>& cancelled);

// The payload's "kibps": digits only, up to 4194304 (4 GiB/s); "0" or
// empty for no limit. False for anything else.
bool ParseKibps(std::string_view text, uint64_t& kibps);

// Stored per OS user in the data folder (speed.cfg, one "kibps=N" line),
// read once at start. A damaged file means no limit.
uint64_t SavedKibps();

// The "speed.limit" Command: a valid value is kept, applied at once and
// announced; anything else is ignored.
void ApplySpeedLimit(const std::string& kibps);
// {"limit":{"kibps":N}} with the limit in force, for the page.
void PostSpeedLimit();

}  // namespace tarn

#pragma once
// The download speed limit's arithmetic; the download layer's SpeedLimit
// keeps the one bucket every transfer of the launcher draws from.
#include <chrono>
#include <cstdint>

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

}  // namespace tarn

#include "bridge/token_bucket.h"

#include <algorithm>

namespace tarn {
namespace {

using Clock = TokenBucket::Clock;

// A quarter second of the rate may gather while nothing is received: small
// enough that a 10 s window stays within a few percent, large enough that
// a lull between two files is not lost to the household's share.
constexpr double kBurstSeconds = 0.25;
constexpr double kBurstFloorBytes = 16 * 1024;
double Burst(uint64_t rate) { return std::max(static_cast<double>(rate) * kBurstSeconds, kBurstFloorBytes); }

Clock::duration Seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

void TokenBucket::Refill(Clock::time_point now) {
  if (now <= last_) return;
  const double seconds = std::chrono::duration<double>(now - last_).count();
  tokens_ = std::min(tokens_ + seconds * static_cast<double>(rate_), Burst(rate_));
  last_ = now;
}

void TokenBucket::SetRate(uint64_t bytesPerSecond, Clock::time_point now) {
  Refill(now);
  rate_ = bytesPerSecond;
  last_ = now;
  // A debt run up under a lower limit would hold a higher one back; past a
  // second of the new rate it is forgiven.
  if (rate_ == 0)
    tokens_ = 0;
  else
    tokens_ = std::clamp(tokens_, -static_cast<double>(rate_), Burst(rate_));
}

Clock::duration TokenBucket::Take(uint64_t bytes, Clock::time_point now) {
  if (rate_ == 0) return Clock::duration::zero();
  Refill(now);
  tokens_ -= static_cast<double>(bytes);
  return Owed(now);
}

Clock::duration TokenBucket::Owed(Clock::time_point now) {
  if (rate_ == 0) return Clock::duration::zero();
  Refill(now);
  if (tokens_ >= 0) return Clock::duration::zero();
  return Seconds(-tokens_ / static_cast<double>(rate_));
}

}  // namespace tarn

#include "download/limiter.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "bridge/state_file.h"
#include "client/install_record.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace tarn {
namespace {

using Clock = TokenBucket::Clock;

// A quarter second of the rate may gather while nothing is received: small
// enough that a 10 s window stays within a few percent, large enough that
// a lull between two files is not lost to the household's share.
constexpr double kBurstSeconds = 0.25;
constexpr double kBurstFloorBytes = 16 * 1024;
// A changed limit reaches a waiting transfer within this.
constexpr auto kWaitSlice = std::chrono::milliseconds(100);
constexpr uint64_t kMaxKibps = 4u << 20;
constexpr size_t kSavedLimitBytes = 256;

double Burst(uint64_t rate) { return std::max(static_cast<double>(rate) * kBurstSeconds, kBurstFloorBytes); }

Clock::duration Seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

std::string SavedLimitPath() { return JoinPath(DataPath(), "speed.cfg"); }

struct Limiter {
  std::mutex lock;
  TokenBucket bucket;           // guarded by lock
  std::atomic<uint64_t> rate{0};  // the bucket's rate, for the way without a limit
  std::once_flag loaded;
};

Limiter& TheLimiter() {
  static auto* limiter = new Limiter;  // never destroyed: detached tasks may still download during exit
  return *limiter;
}

Limiter& Loaded() {
  Limiter& l = TheLimiter();
  std::call_once(l.loaded, [&l] {
    std::lock_guard lock(l.lock);
    l.bucket.SetRate(SavedKibps() * 1024, Clock::now());
    l.rate.store(l.bucket.Rate());
  });
  return l;
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

void SetDownloadLimit(uint64_t bytesPerSecond) {
  Limiter& l = Loaded();
  std::lock_guard lock(l.lock);
  l.bucket.SetRate(bytesPerSecond, Clock::now());
  l.rate.store(bytesPerSecond);
}

uint64_t DownloadLimit() { return Loaded().rate.load(); }

void ThrottleReceived(uint64_t bytes, const std::function<bool()>& cancelled) {
  Limiter& l = Loaded();
  if (l.rate.load(std::memory_order_relaxed) == 0) return;
  Clock::duration wait;
  {
    std::lock_guard lock(l.lock);
    wait = l.bucket.Take(bytes, Clock::now());
  }
  while (wait > Clock::duration::zero()) {
    if (cancelled && cancelled()) return;
    std::this_thread::sleep_for(std::min<Clock::duration>(wait, kWaitSlice));
    std::lock_guard lock(l.lock);
    wait = l.bucket.Owed(Clock::now());
  }
}

bool ParseKibps(std::string_view text, uint64_t& kibps) {
  if (text.size() > 7) return false;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > kMaxKibps) return false;
  kibps = value;
  return true;
}

uint64_t SavedKibps() {
  std::string text;
  bool oversized = false;
  if (!ReadStateFile(SavedLimitPath(), kSavedLimitBytes, text, oversized)) return 0;
  const size_t eol = text.find_first_of("\r\n");
  const std::string_view line = std::string_view(text).substr(0, eol);
  uint64_t kibps = 0;
  if (!line.starts_with("kibps=") || !ParseKibps(line.substr(6), kibps)) return 0;
  return kibps;
}

void ApplySpeedLimit(const std::string& kibps) {
  uint64_t value = 0;
  if (!ParseKibps(kibps, value)) return;
  SetDownloadLimit(value * 1024);
  MakeFolder(DataPath());
  if (!ReplaceFileAtomically(SavedLimitPath(), "kibps=" + std::to_string(value) + "\r\n"))
    LogLine("ограничение скорости не сохранено: %s", SavedLimitPath().c_str());
  LogLine("ограничение скорости: %s", value == 0 ? "нет" : (std::to_string(value) + " КБ/с").c_str());
  PostSpeedLimit();
}

void PostSpeedLimit() { PostToUi(R"({"limit":{"kibps":)" + std::to_string(DownloadLimit() / 1024) + "}}"); }

}  // namespace tarn

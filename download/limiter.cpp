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

// A changed limit reaches a waiting transfer within this.
constexpr auto kWaitSlice = std::chrono::milliseconds(100);
constexpr uint64_t kMaxKibps = 4u << 20;
constexpr size_t kSavedLimitBytes = 256;
// What one connection is given to carry under a limit.
constexpr uint64_t kConnectionShare = 128u << 10;
// The receive windows of all connections together: 1/4 s of the limit.
constexpr uint64_t kWindowsPerSecond = 4;
constexpr uint64_t kMinWindow = 8u << 10;
constexpr uint64_t kMaxWindow = 256u << 10;

std::string SavedLimitPath(LauncherContext& ctx) { return JoinPath(DataPath(ctx), "speed.cfg"); }

// The launcher's limit, read from speed.cfg at its first use.
SpeedLimit& Loaded(DownloadContext& ctx) {
  SpeedLimit& l = ctx.speed;
  std::call_once(l.loaded, [&ctx, &l] {
    std::lock_guard lock(l.lock);
    l.bucket.SetRate(SavedKibps(ctx) * 1024, Clock::now());
    l.rate.store(l.bucket.Rate());
  });
  return l;
}

}  // namespace

void SetDownloadLimit(DownloadContext& ctx, uint64_t bytesPerSecond) {
  SpeedLimit& l = Loaded(ctx);
  std::lock_guard lock(l.lock);
  l.bucket.SetRate(bytesPerSecond, Clock::now());
  l.rate.store(bytesPerSecond);
}

uint64_t DownloadLimit(DownloadContext& ctx) { return Loaded(ctx).rate.load(); }

void ThrottleReceived(DownloadContext& ctx, uint64_t bytes, const std::function<bool()>& cancelled) {
  SpeedLimit& l = Loaded(ctx);
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

size_t ConnectionsUnderLimit(uint64_t bytesPerSecond, size_t most) {
  if (bytesPerSecond == 0) return most;
  return static_cast<size_t>(std::clamp<uint64_t>(bytesPerSecond / kConnectionShare, 1, std::max<size_t>(most, 1)));
}

size_t ReceiveWindowUnderLimit(uint64_t bytesPerSecond, size_t connections) {
  if (bytesPerSecond == 0) return 0;
  const uint64_t share = bytesPerSecond / kWindowsPerSecond / std::max<size_t>(connections, 1);
  return static_cast<size_t>(std::clamp<uint64_t>(share, kMinWindow, kMaxWindow));
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

uint64_t SavedKibps(LauncherContext& ctx) {
  std::string text;
  bool oversized = false;
  if (!ReadStateFile(ctx.log, SavedLimitPath(ctx), kSavedLimitBytes, text, oversized)) return 0;
  const size_t eol = text.find_first_of("\r\n");
  const std::string_view line = std::string_view(text).substr(0, eol);
  uint64_t kibps = 0;
  if (!line.starts_with("kibps=") || !ParseKibps(line.substr(6), kibps)) return 0;
  return kibps;
}

void ApplySpeedLimit(DownloadContext& ctx, const std::string& kibps) {
  uint64_t value = 0;
  if (!ParseKibps(kibps, value)) return;
  SetDownloadLimit(ctx, value * 1024);
  MakeFolder(DataPath(ctx));
  if (!ReplaceFileAtomically(SavedLimitPath(ctx), "kibps=" + std::to_string(value) + "\r\n"))
    LogLine(ctx.launcher.log, "ограничение скорости не сохранено: %s", SavedLimitPath(ctx).c_str());
  LogLine(ctx.launcher.log, "ограничение скорости: %s", value == 0 ? "нет" : (std::to_string(value) + " КБ/с").c_str());
  PostSpeedLimit(ctx);
}

void PostSpeedLimit(DownloadContext& ctx) {
  PostToUi(ctx, R"({"limit":{"kibps":)" + std::to_string(DownloadLimit(ctx) / 1024) + "}}");
}

}  // namespace tarn

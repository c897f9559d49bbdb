#include "install/progress.h"

#include <chrono>
#include <cstdio>

#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "bridge/text.h"

namespace tarn {
namespace {

constexpr uint64_t kSampleMs = 400;
constexpr uint64_t kPostMs = 250;

std::string Quoted(std::string_view text) { return "\"" + JsonEscape(text) + "\""; }

// Under the status lock: brings counts, speed and time left up to date.
void UpdateLocked(InstallState& s, const TransferCounters& counters, uint64_t currentFileBytes, uint64_t now) {
  const uint64_t total = counters.completedBytes + currentFileBytes;
  if (s.speedTick == 0) {
    s.speedTick = now;
    s.speedBytes = total;
  } else if (now > s.speedTick + kSampleMs) {
    const double seconds = static_cast<double>(now - s.speedTick) / 1000.0;
    const double sample = total > s.speedBytes ? static_cast<double>(total - s.speedBytes) / seconds : 0.0;
    s.speed = s.speed > 0 ? s.speed * 0.7 + sample * 0.3 : sample;
    s.speedTick = now;
    s.speedBytes = total;
  }
  s.stage = InstallStage::Downloading;
  s.doneBytes = total;
  s.doneFiles = counters.completedFiles;
  if (s.speed > 1024 && s.totalBytes > total)
    s.eta = static_cast<int64_t>(static_cast<double>(s.totalBytes - total) / s.speed);
  else
    s.eta = -1;
}

void PostIfDue(InstallContext& ctx, TransferCounters& counters, uint64_t now) {
  if (now - counters.lastPostTick < kPostMs) return;
  counters.lastPostTick = now;
  PostInstallEvent(ctx);
}

}  // namespace

void StopTheClock(InstallState& s) {
  s.speed = 0;
  s.eta = -1;
  s.speedTick = 0;
}

std::string InstallEventText(const InstallState& s) {
  char numbers[384];
  std::snprintf(numbers, sizeof numbers,
                "\"totalBytes\":%llu,\"doneBytes\":%llu,\"freeBytes\":%llu,\"totalFiles\":%zu,\"doneFiles\":%zu,"
                "\"speed\":%.0f,\"eta\":%lld,\"version\":%d",
                static_cast<unsigned long long>(s.totalBytes), static_cast<unsigned long long>(s.doneBytes),
                static_cast<unsigned long long>(s.freeBytes), static_cast<size_t>(s.totalFiles),
                static_cast<size_t>(s.doneFiles), s.speed, static_cast<long long>(s.eta), static_cast<int>(s.version));
  return R"({"install":{"stage":)" + Quoted(InstallStageText(s.stage)) + R"(,"path":)" + Quoted(s.path) + R"(,"file":)" +
         Quoted(s.file) + R"(,"error":)" + Quoted(s.error) + "," + numbers +
         // Only a failure another folder may cure says so.
         (s.stage == InstallStage::Failed && s.cause == FailureCause::FolderOrDisk ? R"(,"folderError":true)" : "") +
         "}}";
}

void PostInstallEvent(InstallContext& ctx) {
  std::string text;
  {
    std::lock_guard lock(ctx.status.lock);
    const InstallState& s = ctx.status.state;
    if (ctx.status.loggedStage != s.stage) {
      ctx.status.loggedStage = s.stage;
      LogLine(ctx.launcher.log, "установка: %s — файлов %zu из %zu, байт %llu из %llu%s%s",
              std::string(InstallStageText(s.stage)).c_str(),
              static_cast<size_t>(s.doneFiles), static_cast<size_t>(s.totalFiles),
              static_cast<unsigned long long>(s.doneBytes), static_cast<unsigned long long>(s.totalBytes),
              s.error.empty() ? "" : "; ", s.error.c_str());
    }
    text = InstallEventText(s);
  }
  PostToUi(ctx, text);
}

uint64_t InstallTick() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

void UpdateTransferProgress(InstallContext& ctx, TransferCounters& counters, uint64_t currentFileBytes) {
  UpdateTransferProgress(ctx, counters, currentFileBytes, InstallTick());
}

void UpdateTransferProgress(InstallContext& ctx, TransferCounters& counters, uint64_t currentFileBytes,
                            uint64_t nowTick) {
  {
    std::lock_guard lock(ctx.status.lock);
    UpdateLocked(ctx.status.state, counters, currentFileBytes, nowTick);
  }
  PostIfDue(ctx, counters, nowTick);
}

void StartFileProgress(InstallContext& ctx, TransferCounters& counters, uint64_t bytesOnDisk) {
  StartFileProgress(ctx, counters, bytesOnDisk, InstallTick());
}

void StartFileProgress(InstallContext& ctx, TransferCounters& counters, uint64_t bytesOnDisk, uint64_t nowTick) {
  {
    std::lock_guard lock(ctx.status.lock);
    InstallState& s = ctx.status.state;
    // Moving the sample's starting count up by what was already on disk
    // keeps those bytes out of the speed; a sample not yet started begins
    // from the new total anyway.
    if (s.speedTick != 0) s.speedBytes += bytesOnDisk;
    UpdateLocked(s, counters, bytesOnDisk, nowTick);
  }
  PostIfDue(ctx, counters, nowTick);
}

void SetStageAndPost(InstallContext& ctx, InstallStage stage) {
  {
    std::lock_guard lock(ctx.status.lock);
    ctx.status.state.stage = stage;
  }
  PostInstallEvent(ctx);
}

// Nothing moves while paused or after a stop. A stop also leaves no file in
// flight, and stage "продолжить": the next run continues from here.
void PostHalted(InstallContext& ctx, InstallStage stage) {
  {
    std::lock_guard lock(ctx.status.lock);
    InstallState& s = ctx.status.state;
    s.stage = stage;
    StopTheClock(s);
    if (stage == InstallStage::Resumable) s.file.clear();
  }
  PostInstallEvent(ctx);
}

void FailInstall(InstallContext& ctx, const std::string& message, FailureCause cause) {
  {
    std::lock_guard lock(ctx.status.lock);
    InstallState& s = ctx.status.state;
    s.stage = InstallStage::Failed;
    s.error = message;
    s.cause = cause;
    StopTheClock(s);
  }
  PostInstallEvent(ctx);
}

// Stage "ошибка" with the counts of what is on the disk now, so a failed
// run never shows files or bytes that did not land.
void FailWithCounts(InstallContext& ctx, const std::string& message, uint64_t files, uint64_t bytes,
                    FailureCause cause) {
  {
    std::lock_guard lock(ctx.status.lock);
    ctx.status.state.doneFiles = files;
    ctx.status.state.doneBytes = bytes;
  }
  FailInstall(ctx, message, cause);
}

}  // namespace tarn

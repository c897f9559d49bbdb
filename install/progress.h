#pragma once
// What the page and the log see of the installer: the "install" Event (a
// snapshot of InstallState), one log line per change of stage, the download
// speed and time left, and sizes in Russian units.
#include <cstdint>
#include <string>

#include "bridge/context.h"
#include "bridge/text.h"
#include "install/status.h"

namespace tarn {

// Takes the status lock (InstallStatus::lock), writes the stage log line
// when the stage changed since the last one, builds the Event, releases the
// lock and posts it. Callers must not hold the status lock.
void PostInstallEvent(InstallContext& ctx);

// {"install":{...}} with its twelve keys in their fixed order, compact.
std::string InstallEventText(const InstallState& state);

// One install run's own counts, shared with its progress callback.
struct TransferCounters {
  uint64_t completedBytes = 0;  // files found in place or fully downloaded
  uint64_t completedFiles = 0;
  uint64_t lastPostTick = 0;    // of the last Event posted from here; 0: none yet
};

// The millisecond tick all install timing uses (monotonic, never 0 in
// practice: it counts from an arbitrary point long past).
uint64_t InstallTick();

// Called while bytes arrive: currentFileBytes is what the file being
// downloaded holds so far. Keeps speed (samples of more than 400 ms,
// smoothed 0.7 old / 0.3 new), time left and the counts current, sets the
// stage "идёт", and posts at most every 250 ms (always on a run's first call).
void UpdateTransferProgress(InstallContext& ctx, TransferCounters& counters, uint64_t currentFileBytes);
void UpdateTransferProgress(InstallContext& ctx, TransferCounters& counters, uint64_t currentFileBytes,
                            uint64_t nowTick);

// The start of a file that resumes from a ".part" file already holding
// bytesOnDisk: they count as done but were not transferred now, so the speed
// sample in progress leaves them out. Then as UpdateTransferProgress.
void StartFileProgress(InstallContext& ctx, TransferCounters& counters, uint64_t bytesOnDisk);
void StartFileProgress(InstallContext& ctx, TransferCounters& counters, uint64_t bytesOnDisk, uint64_t nowTick);

// Nothing moves now: the speed is 0, the time left unknown, and the next
// transfer starts a fresh speed sample. Call with the install lock held.
void StopTheClock(InstallState& s);

// The stage, then the Event.
void SetStageAndPost(InstallContext& ctx, InstallStage stage);

// Nothing moves while paused or after a stop. A stop also leaves no file in
// flight, and stage "продолжить": the next run continues from here.
void PostHalted(InstallContext& ctx, InstallStage stage);

// Stage "ошибка" with message, speed and time left cleared, and the Event.
// Called by a run, which ends right after it.
void FailInstall(InstallContext& ctx, const std::string& message, FailureCause cause = FailureCause::Other);

// FailInstall with the counts of what is on the disk now, so a failed run
// never shows files or bytes that did not land.
void FailWithCounts(InstallContext& ctx, const std::string& message, uint64_t files, uint64_t bytes,
                    FailureCause cause = FailureCause::Other);

}  // namespace tarn

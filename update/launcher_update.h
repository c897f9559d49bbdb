#pragma once
// The launcher's own update: the signed release record checked at start and
// once a day, the offer on the page, and on the player's word the release
// file fetched into the data folder (resumable, under the speed limit),
// checked and handed to the platform to replace this launcher. Never while
// the client is being installed or updated, never two launchers at once.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <optional>
#include <string>

#include "client/launcher_release.h"
#include "download/limiter.h"

namespace tarn {

// One per launcher.
struct LauncherReleaseState {
  LauncherReleaseState() = default;
  // Ends the daily check (within one call to the service).
  ~LauncherReleaseState();
  LauncherReleaseState(const LauncherReleaseState&) = delete;
  LauncherReleaseState& operator=(const LauncherReleaseState&) = delete;

  std::mutex lock;
  std::optional<LauncherRelease> offered;  // the newer launcher last accepted
  bool shown = false;                      // the page has been told of it
  std::atomic<bool> watching{false};       // the daily check runs
  // The daily check's thread: not a task, so a host that waits for its
  // tasks (the headless :wait) is not held for a day.
  std::mutex timerLock;
  std::condition_variable timerWake;
  bool ending = false;
  std::thread timer;
};

struct LauncherUpdateContext {
  DownloadContext& download;
  LauncherReleaseState& state;
};

// Fetches and checks the record once; every refusal is a log line. A newer
// launcher is remembered and offered on the page when no client job runs.
void CheckLauncherReleaseOnce(LauncherUpdateContext& ctx);

// At the launcher's start (from the task of the page's first "ui.ready"):
// removes what an earlier update left aside, checks now, and starts the
// daily check, which also shows an offer held back by a client job once
// the job is over. Later calls (a reloaded page) show the offer again.
void WatchLauncherReleases(LauncherUpdateContext ctx);

// "Обновить": fetches, checks and starts the offered launcher, then asks
// the host to close. Anything that fails leaves this launcher as it was,
// tells the page why and logs it.
void UpdateLauncher(LauncherUpdateContext& ctx);

// The data folder's lock file two launchers take before updating.
std::string LauncherUpdateLockPath(LauncherContext& ctx);

}  // namespace tarn

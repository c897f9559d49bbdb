#pragma once
// The install job's own state: its status record (every install Event is a
// snapshot of it), the three flags through which the page's install
// commands reach a running install, and the context its functions take.
// wiring/ owns one of each per launcher.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "client/install_stage.h"
#include "download/limiter.h"

namespace tarn {

// Whether another folder may cure a failure (no room, no right to write,
// a name the system forbids): the page then offers one beside the retry.
enum class FailureCause : uint8_t { Other, FolderOrDisk };

struct InstallState {
  InstallStage stage = InstallStage::Unknown;
  std::string path;   // install folder shown and used
  std::string file;   // list path of the file being downloaded
  std::string error;  // message shown with stage "ошибка"
  FailureCause cause = FailureCause::Other;  // of the error
  uint64_t totalBytes = 0;
  uint64_t doneBytes = 0;
  uint64_t freeBytes = 0;
  uint64_t totalFiles = 0;
  uint64_t doneFiles = 0;
  double speed = 0;  // smoothed, bytes per second
  int64_t eta = -1;  // seconds left; -1 when unknown
  int32_t version = -1;
  uint64_t speedTick = 0;  // tick of the last speed sample; 0 = none yet
  uint64_t speedBytes = 0;
};

struct InstallStatus {
  // Take before touching state or loggedStage; release before posting an
  // Event or doing network or file work. Not recursive.
  std::mutex lock;
  InstallState state;
  // The stage of the last stage log line; none before the first.
  std::optional<InstallStage> loggedStage;
};

// The window thread flips them for the page's commands; the install engine
// and its downloader poll them on the install task. Set and cleared only by
// exchange; read with a plain load.
struct InstallFlags {
  std::atomic<bool> installRunning{false};
  std::atomic<bool> pauseRequested{false};
  std::atomic<bool> stopRequested{false};
};

// The stop a running install hears from the page's "install.stop" and from
// closing: the files in flight keep what arrived in their ".part" and the
// journal what was placed; a paused install wakes up to stop.
void RequestInstallStop(InstallFlags& flags);

// Where an install run takes its folder from.
enum class InstallFolderSource {
  Shown,   // "install.begin": the folder the install screen shows, no dialog
  Dialog,  // "install.folder": the player picks one
  Saved,   // "install.resume": the one saved in install.cfg (the dialog when none is)
};

// What the install job's functions reach: the download layer's parts, the
// status record and the flags.
struct InstallContext : DownloadContext {
  InstallStatus& status;
  InstallFlags& flags;
};

}  // namespace tarn

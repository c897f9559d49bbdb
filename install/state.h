#pragma once
// The installer's status record and the three flags through which the
// page's install commands reach a running install. Every install Event is a
// snapshot of the record.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace tarn {

struct InstallState {
  std::string stage = "неизвестно";
  std::string path;   // install folder shown and used
  std::string file;   // list path of the file being downloaded
  std::string error;  // message shown with stage "ошибка"
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

// Take before touching any field; release before posting an Event or doing
// network or file work. Not recursive.
std::mutex& InstallLock();
InstallState& TheInstallState();

// Set and cleared only by exchange; read with a plain load.
struct InstallFlags {
  std::atomic<bool> installRunning{false};
  std::atomic<bool> pauseRequested{false};
  std::atomic<bool> stopRequested{false};
};

InstallFlags& TheInstallFlags();

}  // namespace tarn

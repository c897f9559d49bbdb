#pragma once
// What the client layer's functions reach: the launcher's floor, the lock
// of the install record (install.cfg, install.done) and the client writer
// guard. The jobs' own contexts extend it with their parts; wiring/ owns
// what the references point at and keeps it alive past every task.
#include <functional>
#include <mutex>

#include "bridge/context.h"
#include "client/writer_guard.h"

namespace tarn {

// Held for one whole read or one whole rewrite of install.cfg, and for each
// change of install.done, so no reader sees a record half replaced.
struct InstallRecordLock {
  std::mutex mutex;
};

struct ClientContext {
  LauncherContext& launcher;
  InstallRecordLock& record;
  ClientWriterGuard& writer;
  // True while a running install was asked to stop: besides closing, it
  // ends a wait the service asked for before the list.
  std::function<bool()> installStopped;

  // What only the floor needs (the log, the host's slots, the tasks) is
  // reached through it.
  operator LauncherContext&() const { return launcher; }
};

}  // namespace tarn

#pragma once
// The floor of one launcher: what every layer above stands on and the host
// owns. The HTTP library's process-wide set-up, launcher.log, what the host
// lent (its slots and the service's address) and the group of running
// tasks. Each layer keeps its own state beside its code (the speed limit in
// download/, the accounts' locks in service/, the install record's lock and
// the client writer guard in client/, the install's status and flags in
// install/, the game runtime's lock in launch/); wiring/ composes them into
// one launcher and hands each job the parts it uses. Nothing lives in a
// hidden static, so two launchers (two tests) in one process do not share a
// byte.
#include <chrono>
#include <functional>

#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "bridge/tasks.h"
#include "platform/http.h"

namespace tarn {

struct LauncherContext {
  LauncherContext() = default;
  LauncherContext(const LauncherContext&) = delete;
  LauncherContext& operator=(const LauncherContext&) = delete;

  HttpLibrary http;  // first made, last undone: every request lies between
  Log log;
  HostLink host;  // the slots and the service's address
  // Last: destroyed first, and only once no task is left.
  TaskGroup tasks{log};
};

// Asks every task of ctx to stop and waits at most limit for them, calling
// pump meanwhile so the host's thread keeps serving what tasks ask of it.
// True when none is left; otherwise the log names how many overstayed, and
// the host must not destroy what the tasks work on. Jobs that have a stop
// of their own raise it first (wiring's CloseLauncher).
bool StopTasks(LauncherContext& ctx, std::chrono::milliseconds limit, const std::function<void()>& pump = {});

// How long a host waits for its tasks when the player closes the launcher:
// long enough for a download to flush its ".part" on a slow disk.
inline constexpr std::chrono::milliseconds kCloseWait{15000};

}  // namespace tarn

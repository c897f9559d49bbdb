#pragma once
// Everything one launcher keeps while it runs, owned by the host that
// starts it: what the host lent (slots, the service's address), the log,
// the install's record and flags, the writer guard, the locks of the
// install record and the accounts, the speed limit, and the group of
// running tasks. The command table and every worker receive it and hand it
// (or the part they need) down; nothing of it lives in a hidden static, so
// two launchers (two tests) in one process do not share a byte.
//
// The host ends a run with CloseLauncher before the context goes away: its
// tasks are asked to stop and waited for, so none of them works on a
// context that is gone or writes after the program's main returned.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

#include "bridge/host_slots.h"
#include "bridge/install_flags.h"
#include "bridge/install_status.h"
#include "bridge/log.h"
#include "bridge/service_endpoint.h"
#include "bridge/tasks.h"
#include "bridge/token_bucket.h"
#include "platform/http.h"

namespace tarn {

// The one download speed limit every transfer of the launcher draws from.
struct SpeedLimit {
  std::mutex lock;
  TokenBucket bucket;             // guarded by lock
  std::atomic<uint64_t> rate{0};  // the bucket's rate, for the way without a limit
  std::once_flag loaded;          // the saved limit is read at the first use
};

struct AccountLocks {
  // Held for one whole load or one whole save, so a load never sees a file
  // that this launcher is half-way through replacing.
  std::mutex store;
  // Held for a whole load–change–save; always taken before store.
  std::mutex change;
};

struct LauncherContext {
  LauncherContext() = default;
  LauncherContext(const LauncherContext&) = delete;
  LauncherContext& operator=(const LauncherContext&) = delete;

  HttpLibrary http;  // first made, last undone: every request lies between
  Log log;
  HostLink host;
  InstallFlags installFlags;
  InstallRecord install;
  std::atomic<uint8_t> clientWriter{0};  // a ClientWriter (install/state.h)
  std::mutex configLock;                 // install.cfg and install.done
  AccountLocks accounts;
  SpeedLimit speedLimit;
  std::mutex gameRuntime;  // one preparation of the game's runtime at a time
  // Last: destroyed first, and only once no task is left (CloseLauncher).
  TaskGroup tasks{log};
};

// The stop a running install hears from the page's "install.stop": the
// files in flight keep what arrived in their ".part" and the journal what
// was placed; a paused install wakes up to stop.
void RequestInstallStop(LauncherContext& ctx);

// Asks every task to stop (an install as by "install.stop", a client update
// at its next quiet moment) and waits at most limit for them, calling pump
// meanwhile so the host's thread keeps serving what tasks ask of it. True
// when none is left; otherwise the log names how many overstayed, and the
// host must not destroy the context.
bool CloseLauncher(LauncherContext& ctx, std::chrono::milliseconds limit, const std::function<void()>& pump = {});

// How long a host waits for its tasks when the player closes the launcher:
// long enough for a download to flush its ".part" on a slow disk.
inline constexpr std::chrono::milliseconds kCloseWait{15000};

}  // namespace tarn

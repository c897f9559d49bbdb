#pragma once
// One launcher, whole: the floor every layer stands on, each layer's own
// state, the parts each job is handed and the command table. A host creates
// one in main and owns it; nothing of it lives in a static, so two
// launchers (two tests) in one process share nothing.
#include <chrono>
#include <functional>
#include <string_view>

#include "bridge/context.h"
#include "bridge/dispatch.h"
#include "client/context.h"
#include "client/writer_guard.h"
#include "download/limiter.h"
#include "install/status.h"
#include "launch/runtime.h"
#include "service/account_store.h"
#include "update/launcher_update.h"
#include "update/move.h"
#include "update/update.h"

namespace tarn {

struct Launcher {
  Launcher();
  // Waits for every task still running: they work on the parts below,
  // which go only after them. A host closes the launcher first
  // (CloseLauncher), so this wait is short.
  ~Launcher();
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;

  LauncherContext context;  // the log, the host's slots and address, the tasks

  // Each layer's own state.
  AccountLocks accountLocks;
  InstallRecordLock installRecord;
  ClientWriterGuard clientWriter;
  SpeedLimit speedLimit;
  InstallStatus installStatus;
  InstallFlags installFlags;
  UpdateFlags updateFlags;
  GameRuntimeLock gameRuntime;
  LauncherReleaseState launcherRelease;
  // Moving the client: its stop.
  MoveFlags moveFlags;

  // What each job is handed: only the parts it uses.
  AccountsContext accounts{context, accountLocks};
  ClientContext client{context, installRecord, clientWriter,
                       [&flags = installFlags] { return flags.installRunning.load() && flags.stopRequested.load(); }};
  DownloadContext download{client, speedLimit};
  InstallContext install{download, installStatus, installFlags};
  UpdateContext update{download, updateFlags};
  LaunchContext launch{client, gameRuntime};
  LauncherUpdateContext launcherUpdate{download, launcherRelease};

  // Every command the page may send, filled by the constructor.
  CommandTable commands;
};

// Serves one Command of the launcher on the caller's (window) thread.
void Dispatch(Launcher& launcher, std::string_view command);

// Asks every task to stop (an install as by "install.stop", a client update
// at its next quiet moment) and waits at most limit for them, calling pump
// meanwhile so the host's thread keeps serving what tasks ask of it. True
// when none is left; otherwise the log names how many overstayed, and the
// host must not destroy the launcher.
bool CloseLauncher(Launcher& launcher, std::chrono::milliseconds limit, const std::function<void()>& pump = {});

}  // namespace tarn

// The one place that knows every job: it fills the bridge's command table
// with their entry points and brings the page up to date after an install.
// The bridge stays the floor the jobs stand on, and none of them reaches
// back up to it.
#include <mutex>

#include "wiring/wiring.h"

#include "bridge/dispatch.h"
#include "bridge/install_state.h"
#include "client/discovery.h"
#include "client/epoch.h"
#include "download/limiter.h"
#include "install/engine.h"
#include "install/progress.h"
#include "launch/game.h"
#include "service/account_commands.h"
#include "service/account_store.h"
#include "service/news.h"
#include "update/update.h"
#include "update/verify.h"

namespace tarn {
namespace {

// What a finished install changes beyond its own screen: the epoch, the
// play screen's accounts and news, the environment and the update state.
void InstallThenCatchUp(InstallFolderSource source) {
  if (!RunInstall(source)) return;
  PostEpoch();
  PushNews();
  PushAccounts();
  PushEnv();
  CheckForUpdate();
}

void MarkInstalled() {
  std::lock_guard lock(InstallLock());
  TheInstallState().stage = "готово";
}

}  // namespace

const Workers& RealWorkers() {
  static const Workers workers{
      .pushAccounts = PushAccounts,
      .addAccount = AddAccount,
      .removeAccount = RemoveAccount,
      .openCabinet = OpenCabinet,
      .loadAccounts = LoadAccounts,
      .launchGame = LaunchGame,
      .verifyClient = VerifyClient,
      .updateClient = UpdateClient,
      .runInstall = InstallThenCatchUp,
      .findClientDir = FindClientDir,
      .isClientInstalled = IsClientInstalled,
      .markInstalled = MarkInstalled,
      .postInstallEvent = PostInstallEvent,
      .postEpoch = PostEpoch,
      .pushNews = PushNews,
      .pushEnv = PushEnv,
      .checkForUpdate = CheckForUpdate,
      .refreshInstallScreen = RefreshInstallScreen,
      .setSpeedLimit = ApplySpeedLimit,
      .pushSpeedLimit = PostSpeedLimit,
  };
  return workers;
}

void Dispatch(std::string_view command) { Dispatch(command, RealWorkers()); }

void PushAll() { PushAll(RealWorkers()); }

}  // namespace tarn

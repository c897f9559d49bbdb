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
void InstallThenCatchUp(LauncherContext& ctx, InstallFolderSource source) {
  if (!RunInstall(ctx, source)) return;
  PostEpoch(ctx);
  PushNews(ctx);
  PushAccounts(ctx);
  PushEnv(ctx);
  CheckForUpdate(ctx);
}

void MarkInstalled(LauncherContext& ctx) {
  std::lock_guard lock(ctx.install.lock);
  ctx.install.state.stage = InstallStage::Installed;
}

// Constant: the entry points themselves.
constexpr Workers kRealWorkers{
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

}  // namespace

const Workers& RealWorkers() { return kRealWorkers; }

void Dispatch(LauncherContext& ctx, std::string_view command) { Dispatch(ctx, command, kRealWorkers); }

void PushAll(LauncherContext& ctx) { PushAll(ctx, kRealWorkers); }

}  // namespace tarn

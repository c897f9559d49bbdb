// The one place that knows every subsystem: it fills the bridge's command
// table with their entry points. The bridge stays the floor the subsystems
// stand on, and none of them reaches back up to it.
#include <mutex>

#include "bridge/dispatch.h"
#include "client/epoch.h"
#include "client/update.h"
#include "client/verify.h"
#include "install/engine.h"
#include "install/limiter.h"
#include "install/progress.h"
#include "install/state.h"
#include "launch/discovery.h"
#include "launch/game.h"
#include "service/account_commands.h"
#include "service/account_store.h"
#include "service/news.h"

namespace tarn {
namespace {

void MarkInstalled(LauncherContext& ctx) {
  std::lock_guard lock(ctx.install.lock);
  ctx.install.state.stage = "готово";
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
    .runInstall = RunInstall,
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

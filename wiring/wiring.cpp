// The one place that knows every job: it fills the bridge's command table
// with their entry points and brings the page up to date after an install.
// The bridge stays the floor the jobs stand on, and none of them reaches
// back up to it.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "wiring/wiring.h"

#include "bridge/dispatch.h"
#include "bridge/host_slots.h"
#include "bridge/install_state.h"
#include "bridge/parallel.h"
#include "client/discovery.h"
#include "client/epoch.h"
#include "client/version_file.h"
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

// The play screen of an installed client: epoch, news, accounts, env and
// the update state, Events in that order. They take questions to the
// service (its build, its epoch table, the news), each two round trips on a
// new connection, which a distant line makes felt; so they are asked side
// by side, and the service's build once for both the epoch and the update
// check (not at all when the caller has just had its answer). The news is
// asked on this thread, whose connection to the service a finished install
// has left open.
void CatchUp(LauncherContext& ctx, std::optional<int32_t> serviceBuild) {
  std::string news, accounts;
  EpochTable epochs;
  int32_t local = -1;
  {
    const Aside build([&] {
      if (!serviceBuild) serviceBuild = FetchServerBuild(ctx);
      local = ReadClientVersion(ctx);
    });
    const Aside named([&] { epochs = FetchEpochTable(ctx); });
    const Aside stored([&] { accounts = BuildAccountsEvent(ctx); });
    news = NewsEvent(ctx);
  }
  std::string epoch = EpochEvent(epochs, local, serviceBuild.value_or(-1));
  for (const std::string* event : {&epoch, &news, &accounts}) PostToUi(ctx, *event);
  PushEnv(ctx);
  PostUpdateCheck(ctx, serviceBuild);
}

void CatchUpInstalled(LauncherContext& ctx) { CatchUp(ctx, std::nullopt); }

// What a finished install changes beyond its own screen.
void InstallThenCatchUp(LauncherContext& ctx, InstallFolderSource source) {
  const InstallOutcome outcome = RunInstall(ctx, source);
  if (outcome.installed) CatchUp(ctx, outcome.serviceBuild);
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
    .catchUp = CatchUpInstalled,
    .pushNews = PushNews,
    .refreshInstallScreen = RefreshInstallScreen,
    .setSpeedLimit = ApplySpeedLimit,
    .pushSpeedLimit = PostSpeedLimit,
};

}  // namespace

const Workers& RealWorkers() { return kRealWorkers; }

void Dispatch(LauncherContext& ctx, std::string_view command) { Dispatch(ctx, command, kRealWorkers); }

void PushAll(LauncherContext& ctx) { PushAll(ctx, kRealWorkers); }

}  // namespace tarn

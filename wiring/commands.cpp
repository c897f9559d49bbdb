// The one place that knows every job: it registers their commands, says
// what the page is shown when it announces itself, and brings the page up
// to date after an install. The bridge only runs the table; none of the
// jobs reaches back up to it. Adding a command is an entry point in its job
// and one entry here.
#include "wiring/commands.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "bridge/parallel.h"
#include "bridge/tasks.h"
#include "bridge/text.h"
#include "client/discovery.h"
#include "client/epoch.h"
#include "client/version_file.h"
#include "download/limiter.h"
#include "install/engine.h"
#include "install/progress.h"
#include "launch/game.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "service/account_commands.h"
#include "service/account_store.h"
#include "service/news.h"
#include "update/launcher_update.h"
#include "update/move.h"
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
void CatchUp(Launcher& l, std::optional<int32_t> serviceBuild) {
  std::string news, accounts;
  EpochTable epochs;
  int32_t local = -1;
  {
    const Aside build([&] {
      if (!serviceBuild) serviceBuild = FetchServerBuild(l.context);
      local = ReadClientVersion(l.client);
    });
    const Aside named([&] { epochs = FetchEpochTable(l.context); });
    const Aside stored([&] { accounts = BuildAccountsEvent(l.accounts); });
    news = NewsEvent(l.context);
  }
  std::string epoch = EpochEvent(epochs, local, serviceBuild.value_or(-1));
  for (const std::string* event : {&epoch, &news, &accounts}) PostToUi(l.context, *event);
  PushEnv(l.client);
  PostUpdateCheck(l.client, serviceBuild);
}

// A long job's span as the host hears it: begun here, ended on every way
// out, and ended before anything else the caller posts, so the host reads
// the job's own last Events as its outcome.
class JobSpan {
 public:
  JobSpan(LauncherContext& ctx, LongJob job) : ctx_(ctx), job_(job) { SignalJob(ctx_, {job_, JobPhase::Began}); }
  ~JobSpan() { SignalJob(ctx_, {job_, JobPhase::Ended}); }
  JobSpan(const JobSpan&) = delete;
  JobSpan& operator=(const JobSpan&) = delete;

 private:
  LauncherContext& ctx_;
  LongJob job_;
};

InstallOutcome InstallInSpan(Launcher& l, InstallFolderSource source) {
  const JobSpan span(l.context, LongJob::Install);
  return RunInstall(l.install, source);
}

// What a finished install changes beyond its own screen.
void InstallThenCatchUp(Launcher& l, InstallFolderSource source) {
  const InstallOutcome outcome = InstallInSpan(l, source);
  if (outcome.installed) CatchUp(l, outcome.serviceBuild);
}

// The state a page that has just announced itself is shown: an installed
// client's play screen, or the install screen; the speed limit either way.
void InitialPush(Launcher& l) {
  if (IsClientInstalled(l.client)) {
    {
      std::lock_guard lock(l.installStatus.lock);
      l.installStatus.state.stage = InstallStage::Installed;
    }
    PostInstallEvent(l.install);
    CatchUp(l, std::nullopt);
  } else {
    PushNews(l.context);
    RefreshInstallScreen(l.install);
  }
  PostSpeedLimit(l.download);
  // The launcher's own release: checked now and then daily; a reloaded
  // page hears of an offer again.
  WatchLauncherReleases(l.launcherUpdate);
}

// Whether the payload gives key a value of its own, "" included: a field
// the page left out (or a command without a payload) is no request to
// change anything, unlike one it wrote out empty.
bool Gives(std::string_view payload, std::string_view key) {
  if (!JsonField(payload, key).empty()) return true;
  const std::string needle = '"' + std::string(key) + "\":";
  const size_t at = payload.find(needle);
  if (at == std::string_view::npos) return false;
  std::string_view rest = payload.substr(at + needle.size());
  while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
  return rest.starts_with("\"\"");
}

}  // namespace

void RegisterCommands(Launcher& launcher) {
  Launcher& l = launcher;
  CommandTable& t = l.commands;
  constexpr RunsOn kWindow = RunsOn::Window;
  constexpr RunsOn kTask = RunsOn::AsTask;
  AddCommand(t, "ui.ready", kTask, [&l](std::string_view) { InitialPush(l); });
  AddCommand(t, "accounts.refresh", kTask, [&l](std::string_view) { PushAccounts(l.accounts); });
  AddCommand(t, "link.open", kWindow, [&l](std::string_view payload) {
    const std::string_view target = LinkTarget(JsonString(payload, "name"));
    if (!target.empty()) ShellOpen(l.context, std::string(target));
  });
  // Finding the folder reads install.cfg and probes the disk: never on the
  // window thread, which a slow or damaged disk would freeze.
  AddCommand(t, "open.clientdir", kTask, [&l](std::string_view) {
    const std::string dir = FindClientDir(l.client);
    if (!dir.empty()) ShellOpen(l.context, FolderTarget(dir));
  });
  AddCommand(t, "open.log", kWindow, [&l](std::string_view) {
    const ShellTarget viewer = TextViewerFor(LogPath());
    ShellOpen(l.context, viewer.target, viewer.params);
  });
  AddCommand(t, "account.add", kTask, [&l](std::string_view payload) {
    std::string password = JsonString(payload, "password");
    AddAccount(l.accounts, JsonString(payload, "login"), password);
    WipeText(password);
  });
  AddCommand(t, "account.remove", kTask,
             [&l](std::string_view payload) { RemoveAccount(l.accounts, JsonString(payload, "login")); });
  AddCommand(t, "cabinet.open", kTask,
             [&l](std::string_view payload) { OpenCabinet(l.accounts, JsonString(payload, "login")); });
  AddCommand(t, "game.launch", kTask, [&l](std::string_view payload) {
    const std::string login = JsonString(payload, "login");
    // The game gets the password it needs by reference.
    const WipedAccounts accounts(LoadAccounts(l.accounts));
    LaunchGame(l.launch, login, PasswordFor(accounts.list, login), JsonString(payload, "character"));
  });
  AddCommand(t, "client.verify", kTask, [&l](std::string_view) { VerifyClient(l.client); });
  AddCommand(t, "client.update", kTask, [&l](std::string_view) {
    const JobSpan span(l.context, LongJob::Update);
    UpdateClient(l.update);
  });
  // An update is paused, woken and stopped like the install; with none
  // running these do nothing (a new one starts from "client.update").
  AddCommand(t, "client.pause", kWindow, [&l](std::string_view) {
    if (l.updateFlags.running.load()) l.updateFlags.pauseRequested.exchange(true);
  });
  AddCommand(t, "client.resume", kWindow, [&l](std::string_view) { l.updateFlags.pauseRequested.exchange(false); });
  AddCommand(t, "client.stop", kWindow, [&l](std::string_view) {
    if (l.updateFlags.running.load()) RequestUpdateStop(l.updateFlags);
  });
  AddCommand(t, "install.begin", kTask, [&l](std::string_view) { InstallThenCatchUp(l, InstallFolderSource::Shown); });
  // A running install only wakes from its pause; otherwise a new run
  // continues from the saved folder.
  AddCommand(t, "install.resume", kWindow, [&l](std::string_view) {
    if (l.installFlags.installRunning.load()) {
      l.installFlags.pauseRequested.exchange(false);
    } else {
      RunAsync(l.context.tasks, [&l] { InstallThenCatchUp(l, InstallFolderSource::Saved); });
    }
  });
  AddCommand(t, "install.pause", kWindow, [&l](std::string_view) { l.installFlags.pauseRequested.exchange(true); });
  AddCommand(t, "install.stop", kWindow, [&l](std::string_view) { RequestInstallStop(l.installFlags); });
  AddCommand(t, "speed.limit", kWindow, [&l](std::string_view payload) {
    // A limit missing from the payload keeps the one in force; only "0" or
    // an empty value lifts it.
    if (!Gives(payload, "kibps")) return;
    // Kept on the disk: not on the window thread.
    RunAsync(l.context.tasks, [&l, kibps = JsonString(payload, "kibps")] { ApplySpeedLimit(l.download, kibps); });
  });
  AddCommand(t, "install.folder", kTask,
             [&l](std::string_view) { InstallThenCatchUp(l, InstallFolderSource::Dialog); });
  // The launcher's own update, offered by the page.
  AddCommand(t, "launcher.update", kTask, [&l](std::string_view) { UpdateLauncher(l.launcherUpdate); });
  // Moving the client: the page shows its new folder once it is there.
  AddCommand(t, "client.move", kTask, [&l](std::string_view) {
    if (MoveClient(l.client, l.moveFlags)) PushEnv(l.client);
  });
  AddCommand(t, "client.move.stop", kWindow, [&l](std::string_view) { RequestMoveStop(l.moveFlags); });
}

}  // namespace tarn

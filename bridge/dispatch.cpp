#include "bridge/dispatch.h"

#include <array>
#include <utility>

#include "bridge/host_slots.h"
#include "bridge/install_flags.h"
#include "bridge/log.h"
#include "bridge/tasks.h"
#include "bridge/text.h"
#include "platform/process.h"
#include "platform/shell.h"

namespace tarn {
namespace {

// The operator's outside addresses behind the page's "link.open" keys.
constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kLinks{{
    {"site", "https://tarn.example/"},
    {"forum", "https://forum.tarn.example/"},
    {"tg", "https://t.me/tarn_example"},
    {"ds", "https://discord.gg/tarn-example"},
}};

void RunPushAll(LauncherContext& ctx, const Workers& w) {
  if (w.isClientInstalled(ctx)) {
    w.markInstalled(ctx);
    w.postInstallEvent(ctx);
    w.catchUp(ctx);
  } else {
    w.pushNews(ctx);
    w.refreshInstallScreen(ctx);
  }
  w.pushSpeedLimit(ctx);
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

// Each handler receives the launcher, the payload and the workers; the table order is the
// order names are tried in, and no name appears twice.
using Handler = void (*)(LauncherContext& ctx, std::string_view payload, const Workers& w);

struct Entry {
  std::string_view name;
  Handler handler;
};

constexpr Entry kCommands[] = {
    {"ui.ready", [](LauncherContext& ctx, std::string_view, const Workers& w) { PushAll(ctx, w); }},
    {"accounts.refresh",
     [](LauncherContext& ctx, std::string_view, const Workers& w) {
       RunAsync(ctx.tasks, [&ctx, f = w.pushAccounts] { f(ctx); });
     }},
    {"link.open",
     [](LauncherContext& ctx, std::string_view payload, const Workers&) {
       const std::string key = JsonString(payload, "name");
       const std::string_view target = LinkTarget(key);
       if (!target.empty()) ShellOpen(ctx, std::string(target));
     }},
    {"open.clientdir",
     [](LauncherContext& ctx, std::string_view, const Workers& w) {
       // Finding the folder reads install.cfg and probes the disk: never on
       // the window thread, which a slow or damaged disk would freeze.
       RunAsync(ctx.tasks, [&ctx, f = w.findClientDir] {
         const std::string dir = f(ctx);
         if (!dir.empty()) ShellOpen(ctx, FolderTarget(dir));
       });
     }},
    {"open.log",
     [](LauncherContext& ctx, std::string_view, const Workers&) {
       const ShellTarget viewer = TextViewerFor(LogPath());
       ShellOpen(ctx, viewer.target, viewer.params);
     }},
    {"account.add",
     [](LauncherContext& ctx, std::string_view payload, const Workers& w) {
       RunAsync(ctx.tasks, [&ctx, f = w.addAccount, login = JsonString(payload, "login"),
                            password = JsonString(payload, "password")]() mutable {
         f(ctx, login, password);
         WipeText(password);
       });
     }},
    {"account.remove",
     [](LauncherContext& ctx, std::string_view payload, const Workers& w) {
       RunAsync(ctx.tasks, [&ctx, f = w.removeAccount, login = JsonString(payload, "login")] { f(ctx, login); });
     }},
    {"cabinet.open",
     [](LauncherContext& ctx, std::string_view payload, const Workers& w) {
       RunAsync(ctx.tasks, [&ctx, f = w.openCabinet, login = JsonString(payload, "login")] { f(ctx, login); });
     }},
    {"game.launch",
     [](LauncherContext& ctx, std::string_view payload, const Workers& w) {
       RunAsync(ctx.tasks,
                [&ctx, w, login = JsonString(payload, "login"), character = JsonString(payload, "character")] {
                  // The game gets the password it needs by reference.
                  const WipedAccounts accounts(w.loadAccounts(ctx));
                  w.launchGame(ctx, login, PasswordFor(accounts.list, login), character);
                });
     }},
    {"client.verify",
     [](LauncherContext& ctx, std::string_view, const Workers& w) {
       RunAsync(ctx.tasks, [&ctx, f = w.verifyClient] { f(ctx); });
     }},
    {"client.update",
     [](LauncherContext& ctx, std::string_view, const Workers& w) {
       RunAsync(ctx.tasks, [&ctx, f = w.updateClient] { f(ctx); });
     }},
    {"install.begin",
     [](LauncherContext& ctx, std::string_view, const Workers& w) {
       RunAsync(ctx.tasks, [&ctx, f = w.runInstall] { f(ctx, InstallFolderSource::Shown); });
     }},
    {"install.resume",
     [](LauncherContext& ctx, std::string_view, const Workers& w) {
       InstallFlags& flags = ctx.installFlags;
       if (flags.installRunning.load()) {
         flags.pauseRequested.exchange(false);
       } else {
         RunAsync(ctx.tasks, [&ctx, f = w.runInstall] { f(ctx, InstallFolderSource::Saved); });
       }
     }},
    {"install.pause",
     [](LauncherContext& ctx, std::string_view, const Workers&) { ctx.installFlags.pauseRequested.exchange(true); }},
    {"install.stop", [](LauncherContext& ctx, std::string_view, const Workers&) { RequestInstallStop(ctx); }},
    {"speed.limit",
     [](LauncherContext& ctx, std::string_view payload, const Workers& w) {
       // A limit missing from the payload keeps the one in force; only "0"
       // or an empty value lifts it.
       if (!Gives(payload, "kibps")) return;
       // Kept on the disk: not on the window thread.
       RunAsync(ctx.tasks, [&ctx, f = w.setSpeedLimit, kibps = JsonString(payload, "kibps")] { f(ctx, kibps); });
     }},
    {"install.folder",
     [](LauncherContext& ctx, std::string_view, const Workers& w) {
       RunAsync(ctx.tasks, [&ctx, f = w.runInstall] { f(ctx, InstallFolderSource::Dialog); });
     }},
};

// PasswordFor's answer when no account matches.
const std::string kNoPassword;

}  // namespace

CommandText SplitCommand(std::string_view command) {
  const size_t lf = command.find('\n');
  if (lf == std::string_view::npos) return {command, {}};
  return {command.substr(0, lf), command.substr(lf + 1)};
}

void Dispatch(LauncherContext& ctx, std::string_view command, const Workers& workers) {
  const CommandText text = SplitCommand(command);
  for (const Entry& entry : kCommands) {
    if (entry.name == text.name) {
      entry.handler(ctx, text.payload, workers);
      return;
    }
  }
}

void PushAll(LauncherContext& ctx, const Workers& workers) {
  RunAsync(ctx.tasks, [&ctx, workers] { RunPushAll(ctx, workers); });
}

std::string_view LinkTarget(std::string_view key) {
  for (const auto& [name, target] : kLinks)
    if (name == key) return target;
  return {};
}

const std::string& PasswordFor(const std::vector<Account>& accounts, std::string_view login) {
  for (const Account& a : accounts)
    if (a.login == login) return a.password;
  return kNoPassword;
}

}  // namespace tarn

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

void RunPushAll(const Workers& w) {
  if (w.isClientInstalled()) {
    w.markInstalled();
    w.postInstallEvent();
    w.postEpoch();
    w.pushNews();
    w.pushAccounts();
    w.pushEnv();
    w.checkForUpdate();
  } else {
    w.pushNews();
    w.refreshInstallScreen();
  }
  w.pushSpeedLimit();
}

// Each handler receives the payload and the workers; the table order is the
// order names are tried in, and no name appears twice.
using Handler = void (*)(std::string_view payload, const Workers& w);

struct Entry {
  std::string_view name;
  Handler handler;
};

constexpr Entry kCommands[] = {
    {"ui.ready", [](std::string_view, const Workers& w) { PushAll(w); }},
    {"accounts.refresh", [](std::string_view, const Workers& w) { RunAsync([f = w.pushAccounts] { f(); }); }},
    {"link.open",
     [](std::string_view payload, const Workers&) {
       const std::string key = JsonString(payload, "name");
       const std::string_view target = LinkTarget(key);
       if (!target.empty()) ShellOpen(std::string(target));
     }},
    {"open.clientdir",
     [](std::string_view, const Workers& w) {
       // Finding the folder reads install.cfg and probes the disk: never on
       // the window thread, which a slow or damaged disk would freeze.
       RunAsync([f = w.findClientDir] {
         const std::string dir = f();
         if (!dir.empty()) ShellOpen(FolderTarget(dir));
       });
     }},
    {"open.log",
     [](std::string_view, const Workers&) {
       const ShellTarget viewer = TextViewerFor(LogPath());
       ShellOpen(viewer.target, viewer.params);
     }},
    {"account.add",
     [](std::string_view payload, const Workers& w) {
       RunAsync([f = w.addAccount, login = JsonString(payload, "login"),
                 password = JsonString(payload, "password")] { f(login, password); });
     }},
    {"account.remove",
     [](std::string_view payload, const Workers& w) {
       RunAsync([f = w.removeAccount, login = JsonString(payload, "login")] { f(login); });
     }},
    {"cabinet.open",
     [](std::string_view payload, const Workers& w) {
       RunAsync([f = w.openCabinet, login = JsonString(payload, "login")] { f(login); });
     }},
    {"game.launch",
     [](std::string_view payload, const Workers& w) {
       RunAsync([w, login = JsonString(payload, "login"), character = JsonString(payload, "character")] {
         // The store hands over every password in plain text; the game gets
         // the one it needs by reference, and all of them are wiped after.
         std::vector<Account> accounts = w.loadAccounts();
         w.launchGame(login, PasswordFor(accounts, login), character);
         for (Account& a : accounts) WipeText(a.password);
       });
     }},
    {"client.verify", [](std::string_view, const Workers& w) { RunAsync([f = w.verifyClient] { f(); }); }},
    {"client.update", [](std::string_view, const Workers& w) { RunAsync([f = w.updateClient] { f(); }); }},
    {"install.begin",
     [](std::string_view, const Workers& w) { RunAsync([f = w.runInstall] { f(InstallFolderSource::Shown); }); }},
    {"install.resume",
     [](std::string_view, const Workers& w) {
       InstallFlags& flags = TheInstallFlags();
       if (flags.installRunning.load()) {
         flags.pauseRequested.exchange(false);
       } else {
         RunAsync([f = w.runInstall] { f(InstallFolderSource::Saved); });
       }
     }},
    {"install.pause", [](std::string_view, const Workers&) { TheInstallFlags().pauseRequested.exchange(true); }},
    {"install.stop",
     [](std::string_view, const Workers&) {
       TheInstallFlags().stopRequested.exchange(true);
       TheInstallFlags().pauseRequested.exchange(false);  // a paused install wakes up to stop
     }},
    {"speed.limit",
     [](std::string_view payload, const Workers& w) {
       // Kept on the disk: not on the window thread.
       RunAsync([f = w.setSpeedLimit, kibps = JsonString(payload, "kibps")] { f(kibps); });
     }},
    {"install.folder",
     [](std::string_view, const Workers& w) { RunAsync([f = w.runInstall] { f(InstallFolderSource::Dialog); }); }},
};

}  // namespace

InstallFlags& TheInstallFlags() {
  static auto* flags = new InstallFlags;  // never destroyed: detached install tasks poll it during exit
  return *flags;
}

CommandText SplitCommand(std::string_view command) {
  const size_t lf = command.find('\n');
  if (lf == std::string_view::npos) return {command, {}};
  return {command.substr(0, lf), command.substr(lf + 1)};
}

void Dispatch(std::string_view command, const Workers& workers) {
  const CommandText text = SplitCommand(command);
  for (const Entry& entry : kCommands) {
    if (entry.name == text.name) {
      entry.handler(text.payload, workers);
      return;
    }
  }
}

void PushAll(const Workers& workers) {
  RunAsync([workers] { RunPushAll(workers); });
}

std::string_view LinkTarget(std::string_view key) {
  for (const auto& [name, target] : kLinks)
    if (name == key) return target;
  return {};
}

const std::string& PasswordFor(const std::vector<Account>& accounts, std::string_view login) {
  static const std::string kNone;
  for (const Account& a : accounts)
    if (a.login == login) return a.password;
  return kNone;
}

}  // namespace tarn

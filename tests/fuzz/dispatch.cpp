// Dispatch with recording workers: any Command text reaches at most the
// one entry point its name selects, with payload values that are valid
// UTF-8, and nothing else happens.
#include "bridge/dispatch.h"

#include <mutex>
#include <string>
#include <vector>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "bridge/install_state.h"
#include "bridge/tasks.h"
#include "bridge/text.h"
#include "fuzz.h"

using namespace tarn;
using fuzz::Check;

namespace {

std::mutex gLock;
std::vector<std::string> gSeen;

void Saw(std::string what) {
  std::lock_guard lock(gLock);
  gSeen.push_back(std::move(what));
}

void Text(const std::string& s) { Check(SanitizeUtf8(s) == s, "payload values reach workers as valid UTF-8"); }

const Workers kRecording{
    .pushAccounts = [](LauncherContext&) { Saw("pushAccounts"); },
    .addAccount =
        [](LauncherContext&, const std::string& l, const std::string& p) {
          Text(l);
          Text(p);
          Saw("addAccount");
        },
    .removeAccount =
        [](LauncherContext&, const std::string& l) {
          Text(l);
          Saw("removeAccount");
        },
    .openCabinet =
        [](LauncherContext&, const std::string& l) {
          Text(l);
          Saw("openCabinet");
        },
    .loadAccounts =
        [](LauncherContext&) {
          return std::vector<Account>{{"a", "pw", {}}};
        },
    .launchGame =
        [](LauncherContext&, const std::string& l, const std::string& p, const std::string& c) {
          Text(l);
          Text(p);
          Text(c);
          Saw("launchGame");
        },
    .verifyClient = [](LauncherContext&) { Saw("verifyClient"); },
    .updateClient = [](LauncherContext&) { Saw("updateClient"); },
    .runInstall = [](LauncherContext&, InstallFolderSource) { Saw("runInstall"); },
    .findClientDir = [](LauncherContext&) { return std::string(); },
    .isClientInstalled = [](LauncherContext&) { return false; },
    .markInstalled = [](LauncherContext&) { Saw("markInstalled"); },
    .postInstallEvent = [](LauncherContext&) { Saw("postInstallEvent"); },
    .catchUp = [](LauncherContext&) { Saw("catchUp"); },
    .pushNews = [](LauncherContext&) { Saw("pushNews"); },
    .refreshInstallScreen = [](LauncherContext&) { Saw("refreshInstallScreen"); },
    .setSpeedLimit = [](LauncherContext&, const std::string&) { Saw("setSpeedLimit"); },
    .pushSpeedLimit = [](LauncherContext&) { Saw("pushSpeedLimit"); },
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LauncherContext ctx;
  // The desktop is a recorder too: nothing may reach the real one.
  InstallHostSlots(ctx, {.post = [](const std::string& e) { Text(e); },
                         .open = [](const std::string& t, const std::string&) { Saw("open:" + t); },
                         .pickFolder = {},
                         .dataFolder = fuzz::ScratchFolder().string()});
  {
    std::lock_guard lock(gLock);
    gSeen.clear();
  }
  const std::string_view command = fuzz::Bytes(data, size);
  Dispatch(ctx, command, kRecording);
  WaitForTasks(ctx.tasks);
  const std::string_view name = SplitCommand(command).name;
  std::lock_guard lock(gLock);
  if (name == "ui.ready") {
    Check(gSeen == std::vector<std::string>{"pushNews", "refreshInstallScreen", "pushSpeedLimit"},
          "ui.ready pushes what has no client");
  } else if (name == "link.open" || name == "open.log") {
    Check(gSeen.size() <= 1, "a link opens at most one address");
    for (const std::string& s : gSeen) {
      Check(s.starts_with("open:"), "a link only opens");
      if (name == "link.open") Check(s.starts_with("open:https://"), "only the operator's web addresses open");
    }
  } else {
    Check(gSeen.size() <= 1, "one Command reaches at most one worker");
  }
  // The install flags are the page's to change; leave them as found.
  ctx.installFlags.pauseRequested.exchange(false);
  ctx.installFlags.stopRequested.exchange(false);
  return 0;
}

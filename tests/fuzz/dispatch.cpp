// Dispatch over the launcher's own table, every handler but the links'
// replaced by a recorder: any Command text reaches at most the one handler
// its name selects, and "link.open" opens only the operator's web addresses.
#include "bridge/dispatch.h"

#include <mutex>
#include <string>
#include <vector>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "bridge/tasks.h"
#include "bridge/text.h"
#include "fuzz.h"
#include "wiring/launcher.h"

using namespace tarn;
using fuzz::Check;

namespace {

std::mutex gLock;
std::vector<std::string> gSeen;

void Saw(std::string what) {
  std::lock_guard lock(gLock);
  gSeen.push_back(std::move(what));
}

// The launcher's table with recorders: the real handlers would reach the
// service and the disk.
CommandTable Recording(const CommandTable& real) {
  CommandTable table;
  for (const Command& c : real.commands) {
    if (c.name == "link.open" || c.name == "open.log")
      AddCommand(table, c.name, c.runsOn, c.handler);
    else
      AddCommand(table, c.name, c.runsOn, [name = c.name](std::string_view) { Saw(name); });
  }
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Launcher launcher;
  LauncherContext& ctx = launcher.context;
  // The desktop is a recorder too: nothing may reach the real one.
  InstallHostSlots(ctx, {.post = [](const std::string& e) { Check(SanitizeUtf8(e) == e, "Events are valid UTF-8"); },
                         .open = [](const std::string& t, const std::string&) { Saw("open:" + t); },
                         .pickFolder = {},
                         .dataFolder = fuzz::ScratchFolder().string()});
  {
    std::lock_guard lock(gLock);
    gSeen.clear();
  }
  const CommandTable table = Recording(launcher.commands);
  const std::string_view command = fuzz::Bytes(data, size);
  Dispatch(ctx, table, command);
  WaitForTasks(ctx.tasks);
  const std::string_view name = SplitCommand(command).name;
  std::lock_guard lock(gLock);
  Check(gSeen.size() <= 1, "one Command reaches at most one handler");
  for (const std::string& s : gSeen) {
    if (name == "link.open" || name == "open.log") {
      Check(s.starts_with("open:"), "a link only opens");
      if (name == "link.open") Check(s.starts_with("open:https://"), "only the operator's web addresses open");
    } else {
      Check(s == name, "the handler of the command's own name");
    }
  }
  return 0;
}

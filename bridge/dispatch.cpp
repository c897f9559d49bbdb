#include "bridge/dispatch.h"

#include <utility>

#include "bridge/tasks.h"
#include "platform/process.h"

namespace tarn {

CommandText SplitCommand(std::string_view command) {
  const size_t lf = command.find('\n');
  if (lf == std::string_view::npos) return {command, {}};
  return {command.substr(0, lf), command.substr(lf + 1)};
}

void AddCommand(CommandTable& table, std::string name, RunsOn runsOn, CommandHandler handler) {
  for (const Command& c : table.commands)
    if (c.name == name) return;
  table.commands.push_back({std::move(name), runsOn, std::move(handler)});
}

void Dispatch(LauncherContext& ctx, const CommandTable& table, std::string_view command) {
  const CommandText text = SplitCommand(command);
  for (const Command& entry : table.commands) {
    if (entry.name != text.name) continue;
    if (entry.runsOn == RunsOn::Window) {
      entry.handler(text.payload);
    } else {
      RunAsync(ctx.tasks, [handler = entry.handler, payload = std::string(text.payload)]() mutable {
        handler(payload);
        WipeText(payload);
      });
    }
    return;
  }
}

}  // namespace tarn

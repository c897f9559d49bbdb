#pragma once
// The page's Commands and where each one goes. A Command is a name, then
// optionally a line feed and a flat JSON payload. The table is filled from
// above (wiring/ registers every job's commands), so the floor knows no job:
// it only finds the name and runs the handler where the entry says, on the
// caller's (window) thread or as a background task of the launcher.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/context.h"

namespace tarn {

struct CommandText {
  std::string_view name;     // everything before the first line feed
  std::string_view payload;  // everything after it; empty without one
};

// Splits at the first line feed; nothing is trimmed.
CommandText SplitCommand(std::string_view command);

// Where a command's handler runs. A quick one (a flag, a link) runs on the
// window thread; anything that touches the disk or the network runs as a
// task, which must not freeze the window on a slow disk or line.
enum class RunsOn { Window, AsTask };

// Receives the payload. A task's handler gets its own copy, wiped once the
// handler returns: a payload may carry a password.
using CommandHandler = std::function<void(std::string_view payload)>;

struct Command {
  std::string name;
  RunsOn runsOn = RunsOn::AsTask;
  CommandHandler handler;
};

// Names in registration order; a name registered twice keeps its first entry.
struct CommandTable {
  std::vector<Command> commands;
};

void AddCommand(CommandTable& table, std::string name, RunsOn runsOn, CommandHandler handler);

// Serves one Command of the launcher ctx: names match whole, exactly and
// case-sensitively; unknown names do nothing. Never waits for a task; the
// tasks it starts belong to ctx's group.
void Dispatch(LauncherContext& ctx, const CommandTable& table, std::string_view command);

}  // namespace tarn

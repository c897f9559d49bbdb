#include "wiring/launcher.h"

#include "bridge/tasks.h"
#include "wiring/commands.h"

namespace tarn {

Launcher::Launcher() { RegisterCommands(*this); }

Launcher::~Launcher() { WaitForTasks(context.tasks); }

void Dispatch(Launcher& launcher, std::string_view command) { Dispatch(launcher.context, launcher.commands, command); }

bool CloseLauncher(Launcher& launcher, std::chrono::milliseconds limit, const std::function<void()>& pump) {
  RequestInstallStop(launcher.installFlags);
  RequestUpdateStop(launcher.updateFlags);
  return StopTasks(launcher.context, limit, pump);
}

}  // namespace tarn

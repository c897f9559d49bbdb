#include "bridge/context.h"

namespace tarn {

bool StopTasks(LauncherContext& ctx, std::chrono::milliseconds limit, const std::function<void()>& pump) {
  RequestStop(ctx.tasks);
  if (JoinTasks(ctx.tasks, limit, pump)) return true;
  LogLine(ctx.log, "задачи не закончились за %lld с после закрытия; процесс завершается без них",
          static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(limit).count()));
  return false;
}

}  // namespace tarn

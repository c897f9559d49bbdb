#include "launch/runtime.h"

#include "bridge/context.h"
#include "bridge/log.h"
#include "bridge/page_events.h"
#include "platform/process.h"

namespace tarn {

Result<void, LaunchProblem> ReadyGameRuntime(LaunchContext& ctx, const std::string& application) {
  switch (GameRuntimeFor(application)) {
    case GameRuntime::Ready:
      return {};
    case GameRuntime::Missing:
      LogLine(ctx.launcher.log, "запуск игры: нет wine, чтобы запустить программу Windows");
      return Fail(LaunchProblem::NoWine);
    case GameRuntime::Unprepared:
      break;
  }
  // Only the first start gets here; making the prefix takes a minute or so.
  LogLine(ctx.launcher.log, "запуск игры: готовлю отдельный префикс Wine для игры");
  PostProgress(ctx, "Первый запуск: готовлю Wine для игры, это займёт около минуты…", 0, ProgressStage::Busy);
  {
    const std::lock_guard one(ctx.runtime.mutex);
    if (PrepareGameRuntime(ctx.launcher.tasks.stopping())) return {};
  }
  if (ctx.launcher.tasks.stopping().load()) {
    LogLine(ctx.launcher.log, "запуск игры: подготовка префикса Wine прервана закрытием лаунчера");
    return Fail(LaunchProblem::Closing);
  }
  LogLine(ctx.launcher.log, "запуск игры: префикс Wine не подготовлен");
  return Fail(LaunchProblem::WineNotReady);
}

}  // namespace tarn

#include "launch/runtime.h"

#include "bridge/context.h"
#include "bridge/log.h"
#include "bridge/page_events.h"
#include "platform/process.h"

namespace tarn {

bool ReadyGameRuntime(LaunchContext& ctx, const std::string& application) {
  switch (GameRuntimeFor(application)) {
    case GameRuntime::Ready:
      return true;
    case GameRuntime::Missing:
      LogLine(ctx.launcher.log, "запуск игры: нет wine, чтобы запустить программу Windows");
      PostProgress(ctx, "Не удалось запустить игру: нужен Wine. Установите пакет wine (sudo apt install wine)", 0,
                   true);
      return false;
    case GameRuntime::Unprepared:
      break;
  }
  // Only the first start gets here; making the prefix takes a minute or so.
  LogLine(ctx.launcher.log, "запуск игры: готовлю отдельный префикс Wine для игры");
  PostProgress(ctx, "Первый запуск: готовлю Wine для игры, это займёт около минуты…", 0, false);
  {
    const std::lock_guard one(ctx.runtime.mutex);
    if (PrepareGameRuntime(ctx.launcher.tasks.stopping())) return true;
  }
  if (ctx.launcher.tasks.stopping().load()) {
    LogLine(ctx.launcher.log, "запуск игры: подготовка префикса Wine прервана закрытием лаунчера");
    return false;
  }
  LogLine(ctx.launcher.log, "запуск игры: префикс Wine не подготовлен");
  PostProgress(ctx, "Не удалось запустить игру: Wine не смог подготовить папку игры", 0, true);
  return false;
}

}  // namespace tarn

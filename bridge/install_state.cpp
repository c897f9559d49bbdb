#include "bridge/install_state.h"

namespace tarn {

std::string_view InstallStageText(InstallStage stage) {
  switch (stage) {
    case InstallStage::Unknown:
      return "неизвестно";
    case InstallStage::NotInstalled:
      return "нет";
    case InstallStage::Preparing:
      return "готовлюсь";
    case InstallStage::Checking:
      return "проверяю";
    case InstallStage::Downloading:
      return "идёт";
    case InstallStage::Paused:
      return "пауза";
    case InstallStage::Resumable:
      return "продолжить";
    case InstallStage::Installed:
      return "готово";
    case InstallStage::Failed:
      return "ошибка";
  }
  return "неизвестно";
}

bool TakeClientWriter(LauncherContext& ctx, ClientWriter who, ClientWriter& holder) {
  // One compare-and-swap decides: there is no moment between "nobody holds
  // it" and "I hold it" in which the other side could slip in.
  uint8_t expected = 0;
  if (ctx.clientWriter.compare_exchange_strong(expected, static_cast<uint8_t>(who))) return true;
  holder = static_cast<ClientWriter>(expected);
  return false;
}

ClientWriter CurrentClientWriter(LauncherContext& ctx) { return static_cast<ClientWriter>(ctx.clientWriter.load()); }

void ReleaseClientWriter(LauncherContext& ctx, ClientWriter who) {
  uint8_t expected = static_cast<uint8_t>(who);
  ctx.clientWriter.compare_exchange_strong(expected, 0);
}

}  // namespace tarn

#include "client/install_stage.h"

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

}  // namespace tarn

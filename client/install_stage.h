#pragma once
// Where an install stands, as one word. The page and the log see each stage
// as its Russian word, and install.cfg keeps the words of Downloading and
// Installed as its "state", so the client layer, which reads install.cfg,
// owns the table; the install job's status record (install/status.h)
// carries a stage.
#include <cstdint>
#include <string_view>

namespace tarn {

enum class InstallStage : uint8_t {
  Unknown,       // "неизвестно": nothing known yet
  NotInstalled,  // "нет": no client and no install begun
  Preparing,     // "готовлюсь": the list is being fetched
  Checking,      // "проверяю": files already there are being compared
  Downloading,   // "идёт"
  Paused,        // "пауза"
  Resumable,     // "продолжить": stopped or interrupted, continues from here
  Installed,     // "готово"
  Failed,        // "ошибка", with the message in InstallState::error
};

std::string_view InstallStageText(InstallStage stage);

}  // namespace tarn

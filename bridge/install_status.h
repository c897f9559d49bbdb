#pragma once
// The installer's status record as the launcher's context keeps it. Every
// install Event is a snapshot of it; the install job writes it, the command
// table and the initial push read it, so it sits below all of them.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tarn {

// Where the installer stands. The page and the log see each stage as its
// Russian word (InstallStageText), and install.cfg keeps the words of
// Downloading and Installed as its "state".
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

struct InstallState {
  InstallStage stage = InstallStage::Unknown;
  std::string path;   // install folder shown and used
  std::string file;   // list path of the file being downloaded
  std::string error;  // message shown with stage "ошибка"
  uint64_t totalBytes = 0;
  uint64_t doneBytes = 0;
  uint64_t freeBytes = 0;
  uint64_t totalFiles = 0;
  uint64_t doneFiles = 0;
  double speed = 0;  // smoothed, bytes per second
  int64_t eta = -1;  // seconds left; -1 when unknown
  int32_t version = -1;
  uint64_t speedTick = 0;  // tick of the last speed sample; 0 = none yet
  uint64_t speedBytes = 0;
};

struct InstallRecord {
  // Take before touching state or loggedStage; release before posting an
  // Event or doing network or file work. Not recursive.
  std::mutex lock;
  InstallState state;
  // The stage of the last stage log line; none before the first.
  std::optional<InstallStage> loggedStage;
};

}  // namespace tarn

#include "install/engine.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "bridge/log.h"
#include "bridge/parallel.h"
#include "bridge/tasks.h"
#include "client/epoch.h"
#include "client/install_folder.h"
#include "client/install_record.h"
#include "client/list_fetch.h"
#include "client/signed_build.h"
#include "client/version_file.h"
#include "download/request_path.h"
#include "download/session.h"
#include "install/download_phase.h"
#include "install/progress.h"
#include "install/status.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/output_file.h"
#include "platform/paths.h"
#include "service/call.h"

namespace tarn {
namespace {

using namespace std::chrono_literals;

// Room kept free beyond the download itself: 1/32 of it plus 64 MiB.
constexpr uint64_t kSpaceReserve = 64ull * 1024 * 1024;

// What the task does once the run has let go of the client and the flag.
enum class After { Nothing, RefreshScreen, Installed };

struct RunEnd {
  After after = After::Nothing;
  std::optional<int32_t> serviceBuild;
};

// The journal speaks for one folder only. A run that settles elsewhere than
// the folder the journal was written for starts a new one, or files of the
// listed size in the new folder would be trusted on the old folder's word.
void ClaimJournal(LauncherContext& ctx, const std::string& folder, const std::string& savedFolder) {
  const std::string owner = InstallJournalFolder(ctx);
  const bool belongs = owner.empty() ? folder == savedFolder : owner == folder;
  if (!belongs) StartInstallJournal(ctx, folder);
}

// The build the client was stamped with: the signed list's, or without one
// the service's answer now, if it gave one.
std::optional<int32_t> Finish(InstallContext& ctx, const FileList& list, const std::string& folder) {
  const std::optional<int32_t> stamped = StampFinishedBuild(ctx, list, FetchServerBuild(ctx));
  const int32_t build = stamped.value_or(-1);
  // The journal goes first: a run cut off between the two then re-checks
  // every file, where the other order would leave a finished install with
  // a journal that nothing removes and a later install into this folder
  // would trust.
  RemoveFile(InstallJournalPath(ctx));
  SetConfigValue(ctx, "state", std::string(InstallStageText(InstallStage::Installed)));
  {
    std::lock_guard lock(ctx.status.lock);
    InstallState& s = ctx.status.state;
    s.stage = InstallStage::Installed;
    s.file.clear();
    s.doneFiles = s.totalFiles;
    s.doneBytes = s.totalBytes;
    StopTheClock(s);
    s.eta = 0;
  }
  PostInstallEvent(ctx);
  LogLine(ctx.launcher.log, "установка завершена: %s, сборка %d", folder.c_str(), static_cast<int>(build));
  return stamped;
}

// Where the run goes: the saved folder as it stands, or a choice (the
// screen's folder, the suggestion or the dialog's answer) put through the
// folder rules. False when the player cancelled the dialog (problem stays
// None) or the folder is refused (problem says why).
bool SettleFolder(InstallContext& ctx, InstallFolderSource source, const std::string& shown, const std::string& saved,
                  std::string& folder, FolderProblem& problem) {
  problem = FolderProblem::None;
  std::string choice;
  if (source == InstallFolderSource::Saved && !saved.empty()) {
    folder = saved;
  } else if (source == InstallFolderSource::Shown && !shown.empty() && shown == saved) {
    folder = saved;
  } else if (source == InstallFolderSource::Shown) {
    // The screen shows the suggestion before the first refresh has run too.
    choice = shown.empty() ? DefaultInstallFolder() : shown;
    if (choice.empty() && !PickInstallFolder(ctx, choice)) return false;
  } else if (!PickInstallFolder(ctx, choice)) {
    return false;
  }
  if (!choice.empty()) {
    const std::string trimmed = TrimTrailingSeparators(choice);
    problem = CheckChosenFolder(trimmed);
    if (problem != FolderProblem::None) return false;
    folder = InstallFolderFor(trimmed);
  } else if (!IsAbsolutePath(folder)) {
    problem = FolderProblem::Relative;
    return false;
  }
  if (IsLauncherPlace(ctx, folder)) problem = FolderProblem::LauncherPlace;
  return problem == FolderProblem::None;
}

// The first listed path that links inside folder would steer onto a file
// of the launcher's own; empty when there is none.
std::string PathReachingLauncher(LauncherContext& ctx, const FileList& list, const std::string& folder) {
  LauncherFiles launcher(ctx);
  for (const FileEntry& e : list.entries)
    if (launcher.Reached(ClientFilePath(folder, e.path))) return e.path;
  return {};
}

// The folder is made and a file can be created in it; otherwise what the
// player is told.
std::string FolderRefusal(const std::string& folder) {
  if (!EnsureParentDirs(JoinPath(folder, "проба")))
    return "Не удалось создать папку «" + folder +
           "». Выберите другое место — например, на диске с играми, а не в системных папках Windows.";
  const std::string probe = JoinPath(folder, ".tarn-проба");
  OutputFile file;
  const WriteStatus probed = OpenOutputFile(probe, 0, file);
  if (probed == WriteStatus::DiskFull)
    return "В папке «" + folder + "» не удаётся создать ни одного файла: на диске закончилось место. " +
           "Освободите его и нажмите «Продолжить».";
  if (probed != WriteStatus::Ok)
    return "В папку «" + folder +
           "» нельзя записывать. Обычно так ведут себя «Program Files» и системный диск: выберите папку, "
           "которой распоряжаетесь вы.";
  file = OutputFile();
  RemoveFile(probe);
  return {};
}

// The screen shows the settled folder and the list's totals, nothing done yet.
void ShowRunStart(InstallContext& ctx, const FileList& list, const std::string& folder) {
  std::lock_guard lock(ctx.status.lock);
  InstallState& s = ctx.status.state;
  s.path = folder;
  s.totalBytes = list.totalSize;
  s.totalFiles = list.entries.size();
  s.version = list.version;
  s.doneBytes = 0;
  s.doneFiles = 0;
  StopTheClock(s);
  s.error.clear();
}

// Room for what is left to download, with a margin; otherwise what the
// player is told. The Event names the same free space as the message.
std::string SpaceRefusal(InstallContext& ctx, const FileList& list, const std::string& folder,
                         const DownloadPlan& plan) {
  const uint64_t free = FreeSpaceOf(folder);
  const uint64_t need = plan.bytes + plan.bytes / 32 + kSpaceReserve;
  {
    std::lock_guard lock(ctx.status.lock);
    ctx.status.state.freeBytes = free;
  }
  if (!list.sizesKnown || free == 0 || free >= need) return {};
  return "На диске не хватает места. Нужно " + FormatSize(need) + ", а свободно " + FormatSize(free) +
         ". Освободите место или выберите другой диск — уже скачанное сохранено.";
}

// install.cfg says a run into folder is under way, before the first byte.
void RecordRunStart(ClientContext& ctx, const FileList& list, const std::string& folder, const DownloadPlan& plan) {
  std::vector<std::pair<std::string, std::string>> record{
      {"path", folder}, {"state", std::string(InstallStageText(InstallStage::Downloading))}};
  if (list.version >= 0) record.emplace_back("version", std::to_string(list.version));
  SetConfigValues(ctx, record);
  LogLine(ctx.launcher.log, "установка в %s: файлов %zu, качать %zu (%s)", folder.c_str(), list.entries.size(),
          plan.entries.size(), FormatSize(plan.bytes).c_str());
}

RunEnd Run(InstallContext& ctx, InstallFolderSource source) {
  std::string shown;
  {
    std::lock_guard lock(ctx.status.lock);
    shown = ctx.status.state.path;
  }
  SetStageAndPost(ctx, InstallStage::Preparing);
  FileList list;
  std::string message;
  if (!FetchInstallList(ctx, list, message)) {
    // A stop that ended a wait the service asked for is no failure.
    if (ctx.flags.stopRequested.load()) {
      PostHalted(ctx, InstallStage::Resumable);
      return {};
    }
    FailInstall(ctx, message);
    return {};
  }

  const std::string saved = GetConfigValue(ctx, "path");
  std::string folder;
  FolderProblem problem = FolderProblem::None;
  if (!SettleFolder(ctx, source, shown, saved, folder, problem)) {
    if (problem == FolderProblem::None) return {After::RefreshScreen, std::nullopt};
    FailInstall(ctx, FolderProblemText(problem));
    return {};
  }
  if (const std::string reaching = PathReachingLauncher(ctx, list, folder); !reaching.empty()) {
    FailInstall(ctx,
                "Файл списка «" + reaching +
                    "» попал бы через ссылку в папке игры на файлы самого лаунчера, поэтому установка остановлена и "
                    "ничего не записано. Уберите ссылку или выберите другую папку.");
    return {};
  }
  ShowRunStart(ctx, list, folder);
  if (const std::string refusal = FolderRefusal(folder); !refusal.empty()) {
    FailInstall(ctx, refusal);
    return {};
  }

  SetStageAndPost(ctx, InstallStage::Checking);
  ClaimJournal(ctx, folder, saved);
  TransferCounters counters;
  DownloadPlan plan;
  plan.sizesKnown = list.sizesKnown;
  if (!CheckInstalledFiles(ctx, list, folder, counters, plan)) {
    PostHalted(ctx, InstallStage::Resumable);
    return {};
  }
  if (const std::string refusal = SpaceRefusal(ctx, list, folder, plan); !refusal.empty()) {
    FailWithCounts(ctx, refusal, counters.completedFiles, counters.completedBytes);
    return {};
  }
  RecordRunStart(ctx, list, folder, plan);
  if (!DownloadPhase(ctx, plan, folder, counters)) return {};
  return {After::Installed, Finish(ctx, list, folder)};
}

}  // namespace

InstallOutcome RunInstall(InstallContext& ctx, InstallFolderSource source) {
  InstallFlags& flags = ctx.flags;
  if (flags.installRunning.exchange(true)) return {};
  flags.pauseRequested.exchange(false);
  flags.stopRequested.exchange(false);
  // A close that came while this run started must not be forgotten.
  if (ctx.launcher.tasks.stopping().load()) RequestInstallStop(ctx.flags);

  RunEnd end;
  {
    const ClientWriterHold hold(ctx.writer, ClientWriter::Install);
    if (hold.taken()) {
      end = Run(ctx, source);
    } else {
      LogLine(ctx.launcher.log, "установка не начата: идёт обновление клиента");
      FailInstall(
          ctx,
          "Сейчас идёт обновление клиента, а оно пишет в те же файлы. Дождитесь, пока оно закончится, и нажмите "
          "«Продолжить».");
    }
  }
  // The client is let go before the flag, so whoever sees the flag clear
  // also finds the client free.
  flags.installRunning.exchange(false);

  if (end.after == After::RefreshScreen) RunAsync(ctx.launcher.tasks, [&ctx] { RefreshInstallScreen(ctx); });
  return {end.after == After::Installed, end.serviceBuild};
}

}  // namespace tarn

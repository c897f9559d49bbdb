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

// Why a run ends before its first download. Each is worded for the player
// in one place, RefusalText.
enum class RunRefusal {
  ListRefused,        // list says why
  FolderRefused,      // folder says why
  ReachesLauncher,    // path: the listed file a link would steer onto the launcher
  FolderNotMade,      // path: the folder
  FolderFull,         // path: the folder, which takes no file for want of room
  FolderNotWritable,  // path: the folder
  NoSpace,            // need and free
};

struct Refusal {
  RunRefusal kind = RunRefusal::ListRefused;
  InstallListProblem list = InstallListProblem::Unreachable;
  FolderProblem folder = FolderProblem::None;
  std::string path;
  uint64_t need = 0;
  uint64_t free = 0;
};

// Every refusal but the list's is about the folder or its disk.
FailureCause CauseOf(const Refusal& r) {
  return r.kind == RunRefusal::ListRefused ? FailureCause::Other : FailureCause::FolderOrDisk;
}

Failure<Refusal> Refuse(RunRefusal kind, std::string path = {}) {
  Refusal refusal;
  refusal.kind = kind;
  refusal.path = std::move(path);
  return Fail(std::move(refusal));
}

std::string RefusalText(ClientContext& ctx, const Refusal& r, const FileList& list) {
  switch (r.kind) {
    case RunRefusal::ListRefused:
      return InstallListProblemText(ctx, r.list, list);
    case RunRefusal::FolderRefused:
      return FolderProblemText(r.folder);
    case RunRefusal::ReachesLauncher:
      return "Файл списка «" + r.path +
             "» попал бы через ссылку в папке игры на файлы самого лаунчера, поэтому установка остановлена и "
             "ничего не записано. Уберите ссылку или выберите другую папку.";
    case RunRefusal::FolderNotMade:
      return "Не удалось создать папку «" + r.path +
             "». Выберите другое место — например, на диске с играми, а не в системных папках Windows.";
    case RunRefusal::FolderFull:
      return "В папке «" + r.path + "» не удаётся создать ни одного файла: на диске закончилось место. " +
             "Освободите его и нажмите «Продолжить».";
    case RunRefusal::FolderNotWritable:
      return "В папку «" + r.path +
             "» нельзя записывать. Обычно так ведут себя «Program Files» и системный диск: выберите папку, "
             "которой распоряжаетесь вы.";
    case RunRefusal::NoSpace:
      return "На диске не хватает места. Нужно " + FormatSize(r.need) + ", а свободно " + FormatSize(r.free) +
             ". Освободите место или выберите другой диск — уже скачанное сохранено.";
  }
  return {};
}

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

// Refused when a listed path that links inside folder would steer onto a
// file of the launcher's own.
Result<void, Refusal> CheckNoPathReachesLauncher(LauncherContext& ctx, const FileList& list,
                                                 const std::string& folder) {
  LauncherFiles launcher(ctx);
  for (const FileEntry& e : list.entries)
    if (launcher.Reached(ClientFilePath(folder, e.path))) return Refuse(RunRefusal::ReachesLauncher, e.path);
  return {};
}

// The folder is made and a file can be created in it.
Result<void, Refusal> CheckFolderTakesFiles(const std::string& folder) {
  if (!EnsureParentDirs(JoinPath(folder, "проба"))) return Refuse(RunRefusal::FolderNotMade, folder);
  const std::string probe = JoinPath(folder, ".tarn-проба");
  OutputFile file;
  if (const WriteResult probed = OpenOutputFile(probe, 0, file); !probed)
    return Refuse(probed.reason() == FileError::DiskFull ? RunRefusal::FolderFull : RunRefusal::FolderNotWritable,
                  folder);
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

// Room for what is left to download, with a margin. The Event names the
// same free space as the refusal.
Result<void, Refusal> CheckSpace(InstallContext& ctx, const FileList& list, const std::string& folder,
                                 const DownloadPlan& plan) {
  const uint64_t free = FreeSpaceOf(folder);
  const uint64_t need = plan.bytes + plan.bytes / 32 + kSpaceReserve;
  {
    std::lock_guard lock(ctx.status.lock);
    ctx.status.state.freeBytes = free;
  }
  if (!list.sizesKnown || free == 0 || free >= need) return {};
  Refusal refusal;
  refusal.kind = RunRefusal::NoSpace;
  refusal.need = need;
  refusal.free = free;
  return Fail(std::move(refusal));
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
  if (const auto fetched = FetchInstallList(ctx, list); !fetched) {
    // A stop that ended a wait the service asked for is no failure.
    if (ctx.flags.stopRequested.load()) {
      PostHalted(ctx, InstallStage::Resumable);
      return {};
    }
    Refusal refusal;
    refusal.list = fetched.reason();
    FailInstall(ctx, RefusalText(ctx, refusal, list));
    return {};
  }

  const std::string saved = GetConfigValue(ctx, "path");
  std::string folder;
  FolderProblem problem = FolderProblem::None;
  if (!SettleFolder(ctx, source, shown, saved, folder, problem)) {
    if (problem == FolderProblem::None) return {After::RefreshScreen, std::nullopt};
    Refusal refusal;
    refusal.kind = RunRefusal::FolderRefused;
    refusal.folder = problem;
    FailInstall(ctx, RefusalText(ctx, refusal, list), CauseOf(refusal));
    return {};
  }
  if (const auto reached = CheckNoPathReachesLauncher(ctx, list, folder); !reached) {
    FailInstall(ctx, RefusalText(ctx, reached.reason(), list), CauseOf(reached.reason()));
    return {};
  }
  ShowRunStart(ctx, list, folder);
  if (const auto takes = CheckFolderTakesFiles(folder); !takes) {
    FailInstall(ctx, RefusalText(ctx, takes.reason(), list), CauseOf(takes.reason()));
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
  if (const auto room = CheckSpace(ctx, list, folder, plan); !room) {
    FailWithCounts(ctx, RefusalText(ctx, room.reason(), list), counters.completedFiles, counters.completedBytes,
                   CauseOf(room.reason()));
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

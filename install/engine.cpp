#include "install/engine.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "bridge/install_state.h"
#include "bridge/log.h"
#include "bridge/parallel.h"
#include "bridge/tasks.h"
#include "client/epoch.h"
#include "client/install_folder.h"
#include "client/install_record.h"
#include "client/list_fetch.h"
#include "client/version_file.h"
#include "download/request_path.h"
#include "download/session.h"
#include "install/progress.h"
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
constexpr size_t kCheckPostEvery = 128;
constexpr auto kPauseRepeat = 250ms;
// A failed attempt waits waitUnits sleeps of 200 ms: 10, 20, 30, so 2, 4 and
// 6 s; the third failure ends the file.
constexpr auto kRetrySleep = 200ms;
constexpr int kFirstWaitUnits = 10;
constexpr int kWaitUnitStep = 10;
constexpr int kWaitUnitLimit = 40;

// What the task does once the run has let go of the client and the flag.
enum class After { Nothing, RefreshScreen, Installed };

void SetStageAndPost(LauncherContext& ctx, InstallStage stage) {
  {
    std::lock_guard lock(ctx.install.lock);
    ctx.install.state.stage = stage;
  }
  PostInstallEvent(ctx);
}

// Stage "продолжить" after a stop: the next run continues from here.
void PostStopped(LauncherContext& ctx) {
  {
    std::lock_guard lock(ctx.install.lock);
    InstallState& s = ctx.install.state;
    s.stage = InstallStage::Resumable;
    StopTheClock(s);
    s.file.clear();
  }
  PostInstallEvent(ctx);
}

void PostPaused(LauncherContext& ctx) {
  {
    std::lock_guard lock(ctx.install.lock);
    InstallState& s = ctx.install.state;
    s.stage = InstallStage::Paused;
    StopTheClock(s);
  }
  PostInstallEvent(ctx);
}

// Bytes a ".part" file already holds towards a file of the listed size.
uint64_t BytesOnDisk(const std::string& target, uint64_t size) {
  const int64_t held = FileSize(PartPath(target));
  if (held <= 0) return 0;
  // A longer ".part" file is thrown away by the downloader.
  if (size != 0 && static_cast<uint64_t>(held) > size) return 0;
  return static_cast<uint64_t>(held);
}

// The journal speaks for one folder only. A run that settles elsewhere than
// the folder the journal was written for starts a new one, or files of the
// listed size in the new folder would be trusted on the old folder's word.
void ClaimJournal(LauncherContext& ctx, const std::string& folder, const std::string& savedFolder) {
  const std::string owner = InstallJournalFolder(ctx);
  const bool belongs = owner.empty() ? folder == savedFolder : owner == folder;
  if (!belongs) StartInstallJournal(ctx, folder);
}

// Stage "ошибка" with the counts of what is on the disk now, so a failed
// run never shows files or bytes that did not land.
void FailWithCounts(LauncherContext& ctx, const std::string& message, uint64_t files, uint64_t bytes) {
  {
    std::lock_guard lock(ctx.install.lock);
    ctx.install.state.doneFiles = files;
    ctx.install.state.doneBytes = bytes;
  }
  FailInstall(ctx, message);
}

}  // namespace

namespace {

// What the check phase knows of one entry's file.
enum : char { kMissing, kInJournal, kToHash, kSame, kDifferent, kSkipped };

// First, in list order, what is cheap: which files exist and which the
// journal vouches for. The indices of the rest, to be hashed, go to toHash.
std::vector<char> FirstLook(LauncherContext& ctx, const FileList& list, const std::string& folder,
                            std::vector<size_t>& toHash) {
  const InstallJournal journal = LoadInstallJournal(ctx, InstallJournalLimit(list));
  std::vector<char> found(list.entries.size(), kMissing);
  for (size_t i = 0; i < list.entries.size(); ++i) {
    const FileEntry& e = list.entries[i];
    const int64_t size = FileSize(ClientFilePath(folder, e.path));
    if (size < 0) continue;
    const auto known = journal.find(e.path);
    if (known != journal.end() && known->second == e.md5 && static_cast<uint64_t>(size) == e.size && e.size != 0) {
      found[i] = kInJournal;
    } else {
      found[i] = kToHash;
      toHash.push_back(i);
    }
  }
  return found;
}

}  // namespace

bool CheckInstalledFiles(LauncherContext& ctx, const FileList& list, const std::string& folder,
                         TransferCounters& counters, DownloadPlan& plan) {
  const size_t count = list.entries.size();
  // Only what the first look could not settle is hashed, on every core.
  std::vector<size_t> toHash;
  std::vector<char> found = FirstLook(ctx, list, folder, toHash);

  // Then every entry in list order, each as soon as its hash (if any) is
  // known: the journal lines, the plan and the Events come out as they
  // would one file after another.
  size_t next = 0;
  bool stopped = false;
  const auto settleUpTo = [&](size_t end) {
    for (; next < end && !stopped; ++next) {
      const size_t i = next;
      if (found[i] == kSkipped || ctx.installFlags.stopRequested.load()) {
        stopped = true;
        return;
      }
      const FileEntry& e = list.entries[i];
      if (found[i] == kSame) AppendInstallJournal(ctx, e.path, e.md5);
      if (found[i] == kInJournal || found[i] == kSame) {
        counters.completedBytes += e.size;
        counters.completedFiles += 1;
      } else {
        plan.entries.push_back(&e);
        plan.bytes += e.size;
      }
      if (i % kCheckPostEvery == 0) {
        {
          std::lock_guard lock(ctx.install.lock);
          ctx.install.state.doneFiles = i + 1;
          ctx.install.state.doneBytes = counters.completedBytes;
        }
        PostInstallEvent(ctx);
      }
    }
  };
  ForEachInParallel(
      toHash.size(),
      [&](size_t j) {
        const size_t i = toHash[j];
        // After a stop the rest is only skipped: nothing of it counts.
        if (ctx.installFlags.stopRequested.load()) {
          found[i] = kSkipped;
          return;
        }
        const FileEntry& e = list.entries[i];
        std::string hex;
        found[i] = FileMd5Hex(ClientFilePath(folder, e.path), hex) && SameChecksum(hex, e.md5) ? kSame : kDifferent;
      },
      [&](size_t j) { settleUpTo(toHash[j] + 1); });
  settleUpTo(count);
  return !stopped && !ctx.installFlags.stopRequested.load();
}

namespace {

enum class FileOutcome { Done, Again, Failed };

// Up to three attempts at one file, with the waits between them, on a
// worker of its own. A failed attempt also asks the workers to go easier
// on the service.
FileOutcome DownloadOne(LauncherContext& ctx, DownloadSession& session, FetchWorkers& workers, const FileEntry& entry,
                        bool sizeKnown, const std::string& target, DownloadFlags flags,
                        const ProgressCallback& progress, DownloadResult& result, FetchedFile& fetched) {
  int failures = 0;
  int waitUnits = kFirstWaitUnits;
  for (;;) {
    result = session.Fetch(FileRequestPath(entry.path), target, entry.md5, entry.size, flags, progress, sizeKnown,
                           fetched);
    switch (result) {
      case DownloadResult::Ok:
        return FileOutcome::Done;
      case DownloadResult::Paused:
      case DownloadResult::Stopped:
        return FileOutcome::Again;
      case DownloadResult::WriteError:
      case DownloadResult::DiskFull:
        return FileOutcome::Failed;
      default:
        break;
    }
    workers.Shrink();
    const std::string text = DownloadResultText(result);
    LogLine(ctx.log, "повтор %s (попытка %d): %s", entry.path.c_str(), failures + 1, text.c_str());
    for (int u = 0; u < waitUnits; ++u) {
      if (flags.stop.load() || flags.pause.load()) break;
      std::this_thread::sleep_for(kRetrySleep);
    }
    ++failures;
    waitUnits += kWaitUnitStep;
    if (waitUnits >= kWaitUnitLimit) return FileOutcome::Failed;
  }
}

// The bytes of the files in flight, for the counts, the speed and the time
// left: workers report what their file holds, and the task thread moves a
// file's bytes into the completed count when it takes the file in list
// order. The counters are shared with the workers through this alone.
class InFlight {
 public:
  InFlight(LauncherContext& ctx, TransferCounters& counters, size_t count)
      : ctx_(ctx), counters_(counters), held_(count, 0) {}

  // A file starts with onDisk bytes already in its ".part" file: they count
  // as done, but not towards the speed.
  void Start(size_t slot, uint64_t onDisk) {
    std::lock_guard lock(lock_);
    total_ = total_ - held_[slot] + onDisk;
    held_[slot] = onDisk;
    TransferCounters view = counters_;
    view.completedBytes += total_ - onDisk;
    StartFileProgress(ctx_, view, onDisk);
    counters_.lastPostTick = view.lastPostTick;
  }
  void Update(size_t slot, uint64_t received) {
    std::lock_guard lock(lock_);
    total_ = total_ - held_[slot] + received;
    held_[slot] = received;
    Post();
  }
  void Complete(size_t slot, uint64_t size) {
    std::lock_guard lock(lock_);
    total_ -= held_[slot];
    held_[slot] = 0;
    counters_.completedBytes += size;
    counters_.completedFiles += 1;
    Post();
  }

 private:
  void Post() {
    TransferCounters view = counters_;
    UpdateTransferProgress(ctx_, view, total_);
    counters_.lastPostTick = view.lastPostTick;
  }

  std::mutex lock_;
  LauncherContext& ctx_;
  TransferCounters& counters_;   // guarded by lock_ while workers run
  std::vector<uint64_t> held_;   // guarded by lock_
  uint64_t total_ = 0;           // guarded by lock_: the sum of held_
};

// What a worker leaves for the task thread.
struct Slot {
  FileOutcome outcome = FileOutcome::Again;
  DownloadResult result = DownloadResult::Ok;
  FetchedFile fetched;
  bool taken = false;
};

struct RoundEnd {
  std::vector<size_t> left;          // plan indexes still to fetch, in order
  const FileEntry* failed = nullptr;  // the file that ended the run
  DownloadResult result = DownloadResult::Ok;
};

// The plan's files named by todo, several at once, until all came or a
// pause, a stop or a failure ends the round. Files that came are handed to
// the session in list order, so their journal lines and counts keep it.
RoundEnd DownloadRound(LauncherContext& ctx, const DownloadPlan& plan, const std::vector<size_t>& todo,
                       const std::string& folder, DownloadSession& session, TransferCounters& counters) {
  RoundEnd end;
  std::vector<Slot> slots(todo.size());
  std::vector<std::string> targets(todo.size());
  for (size_t j = 0; j < todo.size(); ++j) targets[j] = ClientFilePath(folder, plan.entries[todo[j]]->path);
  InFlight inFlight(ctx, counters, todo.size());
  // The workers' stop: the player's, passed on by the task thread, or a
  // failure that ends the run.
  std::atomic<bool> halt{false};
  const DownloadFlags flags{ctx.installFlags.pauseRequested, halt};
  FetchWorkers workers(
      todo.size(), FetchWorkers::kMaxWorkers, [&targets](size_t j) -> const std::string& { return targets[j]; },
      [&](size_t j, FetchWorkers& self) {
        const FileEntry& entry = *plan.entries[todo[j]];
        Slot& slot = slots[j];
        if (halt.load() || ctx.installFlags.pauseRequested.load()) return false;
        {
          std::lock_guard lock(ctx.install.lock);
          ctx.install.state.file = entry.path;
        }
        inFlight.Start(j, BytesOnDisk(targets[j], entry.size));
        slot.outcome = DownloadOne(
            ctx, session, self, entry, plan.sizesKnown, targets[j], flags,
            [&inFlight, j](uint64_t received) { inFlight.Update(j, received); }, slot.result, slot.fetched);
        return slot.outcome == FileOutcome::Done;
      });
  const auto idle = [&] {
    session.Poll();
    if (ctx.installFlags.stopRequested.load()) halt.store(true);
    if (halt.load() || ctx.installFlags.pauseRequested.load()) workers.Halt();
  };
  // A pause or stop lets the round run dry: no new file starts, and the
  // ones in flight end at their next quiet moment.
  size_t j = 0;
  while (workers.Next(j, idle)) {
    idle();
    Slot& slot = slots[j];
    slot.taken = true;
    const FileEntry& entry = *plan.entries[todo[j]];
    if (slot.outcome == FileOutcome::Done) {
      session.Place(std::move(slot.fetched), todo[j]);
      inFlight.Complete(j, entry.size);
      continue;
    }
    slot.taken = false;
    if (slot.outcome == FileOutcome::Failed && !end.failed) {
      end.failed = &entry;
      end.result = slot.result;
      halt.store(true);
      workers.Halt();
    }
  }
  for (size_t k = 0; k < todo.size(); ++k)
    if (!slots[k].taken) end.left.push_back(todo[k]);
  return end;
}

// The files of the plan; false when the run ended here (stop or failure,
// already posted). A file counts as done once its bytes are in and
// checked; its journal line follows once the downloader reports its data on
// the disk and the file under its own name, so the journal never speaks for
// a file a power cut could take back.
bool DownloadPhase(LauncherContext& ctx, const DownloadPlan& plan, const std::string& folder,
                   TransferCounters& counters) {
  // What is on the disk under its own name: the files the check found, and
  // those the downloader has placed since. A failure shows these, not the
  // files merely received.
  uint64_t filesOnDisk = counters.completedFiles;
  uint64_t bytesOnDisk = counters.completedBytes;
  const FileEntry* unplaced = nullptr;
  DownloadResult unplacedResult = DownloadResult::Ok;
  std::vector<char> placed(plan.entries.size(), 0);
  DownloadSession session(ctx, [&](const PlacedFile& file) {
    const FileEntry& entry = *plan.entries[file.tag];
    if (file.result == DownloadResult::Ok) {
      AppendInstallJournal(ctx, entry.path, entry.md5);
      placed[file.tag] = 1;
      filesOnDisk += 1;
      bytesOnDisk += entry.size;
    } else if (!unplaced) {
      unplaced = &entry;
      unplacedResult = file.result;
    }
  });
  const auto fail = [&](const FileEntry& entry, DownloadResult result) {
    session.Drain();
    // The ".part" files keep what arrived, for the resume, and count.
    uint64_t held = 0;
    for (size_t i = 0; i < plan.entries.size(); ++i)
      if (!placed[i]) held += BytesOnDisk(ClientFilePath(folder, plan.entries[i]->path), plan.entries[i]->size);
    FailWithCounts(ctx, "Не удалось скачать «" + entry.path + "». " + DownloadResultText(result), filesOnDisk,
                   bytesOnDisk + held);
    return false;
  };
  std::vector<size_t> todo(plan.entries.size());
  for (size_t i = 0; i < todo.size(); ++i) todo[i] = i;
  while (!todo.empty()) {
    while (ctx.installFlags.pauseRequested.load() && !ctx.installFlags.stopRequested.load()) {
      session.Poll();
      PostPaused(ctx);
      std::this_thread::sleep_for(kPauseRepeat);
    }
    if (ctx.installFlags.stopRequested.load()) break;
    if (unplaced) return fail(*unplaced, unplacedResult);
    RoundEnd round = DownloadRound(ctx, plan, todo, folder, session, counters);
    if (round.failed) return fail(*round.failed, round.result);
    todo = std::move(round.left);
  }
  // Every file received is on the disk and journalled before the run says
  // it stopped or goes on to finish.
  session.Drain();
  if (ctx.installFlags.stopRequested.load()) {
    PostStopped(ctx);
    return false;
  }
  if (unplaced) return fail(*unplaced, unplacedResult);
  return true;
}

void Finish(LauncherContext& ctx, const FileList& list, const std::string& folder) {
  int32_t build = list.version;
  FetchServerBuild(ctx, build);
  if (build >= 0) WriteClientVersion(ctx, build);
  // The journal goes first: a run cut off between the two then re-checks
  // every file, where the other order would leave a finished install with
  // a journal that nothing removes and a later install into this folder
  // would trust.
  RemoveFile(InstallJournalPath(ctx));
  SetConfigValue(ctx, "state", std::string(InstallStageText(InstallStage::Installed)));
  {
    std::lock_guard lock(ctx.install.lock);
    InstallState& s = ctx.install.state;
    s.stage = InstallStage::Installed;
    s.file.clear();
    s.doneFiles = s.totalFiles;
    s.doneBytes = s.totalBytes;
    StopTheClock(s);
    s.eta = 0;
  }
  PostInstallEvent(ctx);
  LogLine(ctx.log, "установка завершена: %s, сборка %d", folder.c_str(), static_cast<int>(build));
}

// Where the run goes: the saved folder as it stands, or a choice (the
// screen's folder, the suggestion or the dialog's answer) put through the
// folder rules. False when the player cancelled the dialog (problem stays
// None) or the folder is refused (problem says why).
bool SettleFolder(LauncherContext& ctx, InstallFolderSource source, const std::string& shown, const std::string& saved,
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
void ShowRunStart(LauncherContext& ctx, const FileList& list, const std::string& folder) {
  std::lock_guard lock(ctx.install.lock);
  InstallState& s = ctx.install.state;
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
std::string SpaceRefusal(LauncherContext& ctx, const FileList& list, const std::string& folder,
                         const DownloadPlan& plan) {
  const uint64_t free = FreeSpaceOf(folder);
  const uint64_t need = plan.bytes + plan.bytes / 32 + kSpaceReserve;
  {
    std::lock_guard lock(ctx.install.lock);
    ctx.install.state.freeBytes = free;
  }
  if (!list.sizesKnown || free == 0 || free >= need) return {};
  return "На диске не хватает места. Нужно " + FormatSize(need) + ", а свободно " + FormatSize(free) +
         ". Освободите место или выберите другой диск — уже скачанное сохранено.";
}

// install.cfg says a run into folder is under way, before the first byte.
void RecordRunStart(LauncherContext& ctx, const FileList& list, const std::string& folder, const DownloadPlan& plan) {
  std::vector<std::pair<std::string, std::string>> record{
      {"path", folder}, {"state", std::string(InstallStageText(InstallStage::Downloading))}};
  if (list.version >= 0) record.emplace_back("version", std::to_string(list.version));
  SetConfigValues(ctx, record);
  LogLine(ctx.log, "установка в %s: файлов %zu, качать %zu (%s)", folder.c_str(), list.entries.size(),
          plan.entries.size(), FormatSize(plan.bytes).c_str());
}

After Run(LauncherContext& ctx, InstallFolderSource source) {
  std::string shown;
  {
    std::lock_guard lock(ctx.install.lock);
    shown = ctx.install.state.path;
  }
  SetStageAndPost(ctx, InstallStage::Preparing);
  FileList list;
  std::string message;
  if (!FetchInstallList(ctx, list, message)) {
    FailInstall(ctx, message);
    return After::Nothing;
  }

  const std::string saved = GetConfigValue(ctx, "path");
  std::string folder;
  FolderProblem problem = FolderProblem::None;
  if (!SettleFolder(ctx, source, shown, saved, folder, problem)) {
    if (problem == FolderProblem::None) return After::RefreshScreen;
    FailInstall(ctx, FolderProblemText(problem));
    return After::Nothing;
  }
  if (const std::string reaching = PathReachingLauncher(ctx, list, folder); !reaching.empty()) {
    FailInstall(ctx,
                "Файл списка «" + reaching +
                    "» попал бы через ссылку в папке игры на файлы самого лаунчера, поэтому установка остановлена и "
                    "ничего не записано. Уберите ссылку или выберите другую папку.");
    return After::Nothing;
  }
  ShowRunStart(ctx, list, folder);
  if (const std::string refusal = FolderRefusal(folder); !refusal.empty()) {
    FailInstall(ctx, refusal);
    return After::Nothing;
  }

  SetStageAndPost(ctx, InstallStage::Checking);
  ClaimJournal(ctx, folder, saved);
  TransferCounters counters;
  DownloadPlan plan;
  plan.sizesKnown = list.sizesKnown;
  if (!CheckInstalledFiles(ctx, list, folder, counters, plan)) {
    PostStopped(ctx);
    return After::Nothing;
  }
  if (const std::string refusal = SpaceRefusal(ctx, list, folder, plan); !refusal.empty()) {
    FailWithCounts(ctx, refusal, counters.completedFiles, counters.completedBytes);
    return After::Nothing;
  }
  RecordRunStart(ctx, list, folder, plan);
  if (!DownloadPhase(ctx, plan, folder, counters)) return After::Nothing;
  Finish(ctx, list, folder);
  return After::Installed;
}

}  // namespace

bool FetchInstallList(LauncherContext& ctx, FileList& list, std::string& message) {
  const ListFetch fetched = FetchFileList(ctx, list);
  if (fetched == ListFetch::Unreachable) {
    message =
        "Не удалось связаться с сервером обновлений. Проверьте подключение к интернету и попробуйте ещё раз через "
        "минуту.";
    return false;
  }
  if (fetched == ListFetch::TooLarge || fetched == ListFetch::Malformed) {
    message = ListRefusalText(fetched, list) +
              " Установка остановлена, ничего не записано. Это недосмотр на стороне сервера — сообщите в поддержку.";
    return false;
  }
  if (fetched == ListFetch::BadSignature) {
    message =
        "Список файлов пришёл с неверной подписью, установка остановлена. Так выглядит подмена по дороге — "
        "сообщите об этом в поддержку и не устанавливайте игру из других источников.";
    return false;
  }
  if (list.entries.empty()) {
    message = "Сервер отдал пустой список файлов. Скорее всего, идёт обслуживание — попробуйте позже.";
    return false;
  }
  if (!list.hasPacks) {
    message =
        "Список файлов на сервере собран без игровых архивов, поставить по нему игру нельзя. Это недосмотр на "
        "стороне сервера — сообщите в поддержку.";
    return false;
  }
  return true;
}

void FailInstall(LauncherContext& ctx, const std::string& message) {
  {
    std::lock_guard lock(ctx.install.lock);
    InstallState& s = ctx.install.state;
    s.stage = InstallStage::Failed;
    s.error = message;
    StopTheClock(s);
  }
  PostInstallEvent(ctx);
}

bool RunInstall(LauncherContext& ctx, InstallFolderSource source) {
  InstallFlags& flags = ctx.installFlags;
  if (flags.installRunning.exchange(true)) return false;
  flags.pauseRequested.exchange(false);
  flags.stopRequested.exchange(false);
  // A close that came while this run started must not be forgotten.
  if (ctx.tasks.stopping().load()) RequestInstallStop(ctx);

  After after = After::Nothing;
  {
    const ClientWriterHold hold(ctx, ClientWriter::Install);
    if (hold.taken()) {
      after = Run(ctx, source);
    } else {
      LogLine(ctx.log, "установка не начата: идёт обновление клиента");
      FailInstall(
          ctx,
          "Сейчас идёт обновление клиента, а оно пишет в те же файлы. Дождитесь, пока оно закончится, и нажмите "
          "«Продолжить».");
    }
  }
  // The client is let go before the flag, so whoever sees the flag clear
  // also finds the client free.
  flags.installRunning.exchange(false);

  if (after == After::RefreshScreen) RunAsync(ctx.tasks, [&ctx] { RefreshInstallScreen(ctx); });
  return after == After::Installed;
}

void RefreshInstallScreen(LauncherContext& ctx) {
  {
    std::lock_guard lock(ctx.install.lock);
    ctx.install.state.stage = InstallStage::Preparing;
    ctx.install.state.error.clear();
  }
  PostInstallEvent(ctx);
  FileList list;
  std::string message;
  const bool ok = FetchInstallList(ctx, list, message);
  const std::string saved = GetConfigValue(ctx, "path");
  const bool resumable = !saved.empty() && GetConfigValue(ctx, "state") != InstallStageText(InstallStage::Installed);
  {
    std::lock_guard lock(ctx.install.lock);
    InstallState& s = ctx.install.state;
    if (ok) {
      s.stage = resumable ? InstallStage::Resumable : InstallStage::NotInstalled;
      s.totalBytes = list.totalSize;
      s.totalFiles = list.entries.size();
      s.version = list.version;
      s.error.clear();
    } else {
      s.stage = InstallStage::Failed;
      s.error = message;
    }
    s.path = resumable ? saved : DefaultInstallFolder();
    s.freeBytes = FreeSpaceOf(s.path.empty() ? SystemDiskRoot() : s.path);
  }
  PostInstallEvent(ctx);
}

}  // namespace tarn

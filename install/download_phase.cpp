#include "install/download_phase.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "client/install_record.h"
#include "download/request_path.h"
#include "download/session.h"
#include "install/progress.h"
#include "install/status.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "service/call.h"

namespace tarn {
namespace {

using namespace std::chrono_literals;

constexpr auto kPauseRepeat = 250ms;
// Three tries at a file. Between them it waits 2 s, then 4 s, or as long
// as the service asks (Retry-After, up to kLongestServiceWaitSeconds);
// nothing waits after the last.
constexpr int kFileTries = 3;
constexpr int64_t kWaitStepSeconds = 2;

enum class FileOutcome { Done, Again, Failed };

// Tells the player of a wait the service asked for, once for the workers
// that hear the same request at the same time.
void TellOfServiceWait(LauncherContext& ctx, std::atomic<int64_t>& toldUntil, int64_t seconds) {
  const int64_t now = static_cast<int64_t>(InstallTick());
  int64_t until = toldUntil.load();
  if (now < until || !toldUntil.compare_exchange_strong(until, now + seconds * 1000)) return;
  PostToUi(ctx, ServiceWaitEvent(seconds));
}

// Up to three attempts at one file, with the waits between them, on a
// worker of its own. A failed attempt also asks the workers to go easier
// on the service.
FileOutcome DownloadOne(InstallContext& ctx, DownloadSession& session, FetchWorkers& workers, const FileEntry& entry,
                        bool sizeKnown, const std::string& target, DownloadFlags flags,
                        const ProgressCallback& progress, std::atomic<int64_t>& toldUntil, DownloadResult& result,
                        FetchedFile& fetched) {
  for (int tried = 1;; ++tried) {
    result = session.Fetch(FileRequestPath(entry.path, entry.md5), target, entry.md5, entry.size, flags, progress,
                           sizeKnown, fetched);
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
    LogLine(ctx.launcher.log, "повтор %s (попытка %d): %s", entry.path.c_str(), tried, text.c_str());
    if (tried == kFileTries) return FileOutcome::Failed;
    int64_t seconds = kWaitStepSeconds * tried;
    if (result == DownloadResult::ServerRefused && fetched.retryAfterSeconds >= 0) {
      seconds = ServiceWaitSeconds(fetched.retryAfterSeconds, seconds);
      LogLine(ctx.launcher.log, "%s: сервер просит подождать %lld с (попросил %lld)", entry.path.c_str(),
              static_cast<long long>(seconds), static_cast<long long>(fetched.retryAfterSeconds));
      TellOfServiceWait(ctx, toldUntil, seconds);
    }
    // A pause or stop ends the wait at once; the next try sees it.
    WaitUnlessStopped(std::chrono::seconds(seconds), [&flags] { return flags.stop.load() || flags.pause.load(); });
  }
}

// The bytes of the files in flight, for the counts, the speed and the time
// left: workers report what their file holds, and the task thread moves a
// file's bytes into the completed count when it takes the file in list
// order. The counters are shared with the workers through this alone.
class InFlight {
 public:
  InFlight(InstallContext& ctx, TransferCounters& counters, size_t count)
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
  InstallContext& ctx_;
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
RoundEnd DownloadRound(InstallContext& ctx, const DownloadPlan& plan, const std::vector<size_t>& todo,
                       const std::string& folder, DownloadSession& session, TransferCounters& counters) {
  RoundEnd end;
  std::vector<Slot> slots(todo.size());
  std::vector<std::string> targets(todo.size());
  for (size_t j = 0; j < todo.size(); ++j) targets[j] = ClientFilePath(folder, plan.entries[todo[j]]->path);
  InFlight inFlight(ctx, counters, todo.size());
  // The workers' stop: the player's, passed on by the task thread, or a
  // failure that ends the run.
  std::atomic<bool> halt{false};
  std::atomic<int64_t> toldUntil{0};
  const DownloadFlags flags{ctx.flags.pauseRequested, halt};
  FetchWorkers workers(
      todo.size(), FetchWorkers::kMaxWorkers, [&targets](size_t j) -> const std::string& { return targets[j]; },
      [&](size_t j, FetchWorkers& self) {
        const FileEntry& entry = *plan.entries[todo[j]];
        Slot& slot = slots[j];
        if (halt.load() || ctx.flags.pauseRequested.load()) return false;
        {
          std::lock_guard lock(ctx.status.lock);
          ctx.status.state.file = entry.path;
        }
        inFlight.Start(j, PartBytesHeld(targets[j], entry.size));
        slot.outcome = DownloadOne(
            ctx, session, self, entry, plan.sizesKnown, targets[j], flags,
            [&inFlight, j](uint64_t received) { inFlight.Update(j, received); }, toldUntil, slot.result,
            slot.fetched);
        return slot.outcome == FileOutcome::Done;
      },
      &ctx);
  const auto idle = [&] {
    session.Poll();
    if (ctx.flags.stopRequested.load()) halt.store(true);
    if (halt.load() || ctx.flags.pauseRequested.load()) workers.Halt();
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

}  // namespace

// The files of the plan; false when the run ended here (stop or failure,
// already posted). A file counts as done once its bytes are in and
// checked; its journal line follows once the downloader reports its data on
// the disk and the file under its own name, so the journal never speaks for
// a file a power cut could take back.
bool DownloadPhase(InstallContext& ctx, const DownloadPlan& plan, const std::string& folder,
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
      if (!placed[i]) held += PartBytesHeld(ClientFilePath(folder, plan.entries[i]->path), plan.entries[i]->size);
    const bool disk = result == DownloadResult::DiskFull || result == DownloadResult::WriteError;
    FailWithCounts(ctx, "Не удалось скачать «" + entry.path + "». " + DownloadResultText(result), filesOnDisk,
                   bytesOnDisk + held, disk ? FailureCause::FolderOrDisk : FailureCause::Other);
    return false;
  };
  std::vector<size_t> todo(plan.entries.size());
  for (size_t i = 0; i < todo.size(); ++i) todo[i] = i;
  while (!todo.empty()) {
    while (ctx.flags.pauseRequested.load() && !ctx.flags.stopRequested.load()) {
      session.Poll();
      PostHalted(ctx, InstallStage::Paused);
      std::this_thread::sleep_for(kPauseRepeat);
    }
    if (ctx.flags.stopRequested.load()) break;
    if (unplaced) return fail(*unplaced, unplacedResult);
    RoundEnd round = DownloadRound(ctx, plan, todo, folder, session, counters);
    if (round.failed) return fail(*round.failed, round.result);
    todo = std::move(round.left);
  }
  // Every file received is on the disk and journalled before the run says
  // it stopped or goes on to finish.
  session.Drain();
  if (ctx.flags.stopRequested.load()) {
    PostHalted(ctx, InstallStage::Resumable);
    return false;
  }
  if (unplaced) return fail(*unplaced, unplacedResult);
  return true;
}

}  // namespace tarn

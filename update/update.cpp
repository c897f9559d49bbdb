#include "update/update.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "bridge/parallel.h"
#include "bridge/text.h"
#include "client/discovery.h"
#include "client/epoch.h"
#include "client/file_list.h"
#include "client/list_fetch.h"
#include "client/install_folder.h"
#include "client/signed_build.h"
#include "client/version_file.h"
#include "client/writer_guard.h"
#include "download/request_path.h"
#include "download/session.h"
#include "service/call.h"
#include "update/move.h"
#include "update/verify.h"

namespace tarn {
namespace {


// The page gets a row and a "progress" only for every 64th file checked, so a
// long list does not flood it.
constexpr size_t kCheckReportEvery = 64;

// What the page hears of the service's build: the "update" Event and the
// "progress" line.
void CompareWithServer(ClientContext& ctx, int32_t remote) {
  const int32_t local = ReadClientVersion(ctx);
  if (remote == 0) {
    PostUpdateStatus(ctx, local, remote);
    PostProgress(ctx, "Идёт обслуживание сервера", 0, ProgressStage::Busy);
  } else if (local < 0) {
    PostUpdateStatus(ctx, local, remote);
    PostProgress(ctx, "Не найден файл версии клиента", 0, ProgressStage::Ready);
  } else if (local == remote) {
    PostUpdateStatus(ctx, local, remote);
    PostProgress(ctx, "Клиент актуален", 100, ProgressStage::Ready);
  } else if (remote < local) {
    PostUpdateStatus(ctx, local, remote);
    PostProgress(ctx, "Версия сервера ниже версии клиента", 100, ProgressStage::Ready);
  } else {
    PostProgress(ctx, "Доступно обновление: " + std::to_string(local) + " → " + std::to_string(remote), 0,
                 ProgressStage::Busy);
    PostToUi(ctx, R"({"update":{"available":true}})");
  }
}

// The end of an update that left every file right: the list's signed build
// is stamped, the epoch shown and the update check made from one answer of
// the service, since over a distant line each question costs a connection
// and two round trips; the epoch table is asked for alongside.
void StampShowAndCheck(ClientContext& ctx, const FileList& list) {
  std::optional<int32_t> build;
  EpochTable epochs;
  {
    const Aside named([&] { epochs = FetchEpochTable(ctx); });
    build = StampFinishedBuild(ctx, list, FetchServerBuild(ctx));
  }
  PostToUi(ctx, EpochEvent(epochs, ReadClientVersion(ctx), build.value_or(-1)));
  PostUpdateCheck(ctx, build);
}

// The update's words for a list it cannot go on with.
std::string ListFailureText(ClientContext& ctx, ListFetch fetched, const FileList& list) {
  switch (fetched) {
    case ListFetch::Unreachable: return "Сервер обновлений не отвечает";
    case ListFetch::BadSignature: return "Подпись списка неверна — обновление отменено";
    default: return ListRefusalText(ctx, fetched, list) + " Обновление отменено, ни один файл не тронут.";
  }
}

std::string Percent(size_t percent) { return std::to_string(percent) + "%"; }

std::string OfCount(std::string_view what, size_t done, size_t total) {
  return std::string(what) + " — " + std::to_string(done) + " из " + std::to_string(total);
}

// The row the download reports in: after the list's and the check's.
constexpr size_t kDownloadRow = 2;

// A launcher kept in the client folder (discovery allows that), or a
// link there, shares the folder with the launcher's records. True when a
// listed file would land on them: the update is then refused whole.
bool RefusedOverLauncher(LauncherContext& ctx, StatusRows& rows, const std::string& clientDir,
                         const std::vector<FileEntry>& entries) {
  LauncherFiles launcher(ctx);
  for (const FileEntry& e : entries) {
    if (!launcher.Reached(ClientFilePath(clientDir, e.path))) continue;
    const std::string why = "Файл списка «" + e.path + "» лёг бы на данные лаунчера — обновление отменено";
    LogLine(ctx.log, "%s", why.c_str());
    rows.push_back(MakeStateRow(RowState::Bad, why, "Ошибка"));
    PostVerifyRows(ctx, rows);
    PostProgress(ctx, why, 0, ProgressStage::Ready);
    return true;
  }
  return false;
}

// The listed files whose checksum differs from the disk's, in list order.
// A file that cannot be read counts as different and is fetched again.
std::vector<FileEntry> FilesThatDiffer(ClientContext& ctx, StatusRows& rows, const std::string& clientDir,
                                       const std::vector<FileEntry>& entries) {
  rows.push_back(MakeStateRow(RowState::Run, "Сверяю файлы", "0%"));
  PostVerifyRows(ctx, rows);
  std::vector<FileEntry> toUpdate;
  for (size_t i : FindMismatchedEntries(clientDir, entries, [&](size_t done, size_t total) {
         if ((done - 1) % kCheckReportEvery != 0) return;
         const size_t percent = done * 100 / total;
         rows.back() = MakeStateRow(RowState::Run, OfCount("Сверяю файлы", done, total), Percent(percent));
         PostVerifyRows(ctx, rows);
         PostProgress(ctx, "Проверка перед обновлением", static_cast<uint32_t>(percent), ProgressStage::Busy);
       }))
    toUpdate.push_back(entries[i]);
  return toUpdate;
}

// The download row after the done-th of count files; its percent counts
// files, as its "N из M" does.
void ShowDownloaded(LauncherContext& ctx, StatusRows& rows, size_t done, size_t count, size_t failures) {
  rows[kDownloadRow] = MakeStateRow(failures > 0 ? RowState::Bad : RowState::Run, OfCount("Загружаю", done, count),
                                    Percent(done * 100 / count));
  PostVerifyRows(ctx, rows);
}

// How far the update's downloads are, by bytes when the list names sizes,
// so one large pack moves the bar while it arrives; by files otherwise.
// Each file counts what it has held at most, so a patch that falls back to
// the whole file or a ".part" thrown away never takes the bar back, and a
// file taken (placed or failed) counts whole, so the last one makes 100.
// What a ".part" held from an earlier run counts from the start.
class DownloadShare {
 public:
  DownloadShare(const std::vector<FileEntry>& files, const std::vector<std::string>& targets, bool sizesKnown)
      : files_(files), held_(files.size()) {
    for (const FileEntry& entry : files) total_ += entry.size;
    byBytes_ = sizesKnown && total_ > 0;
    for (size_t i = 0; byBytes_ && i < files.size(); ++i) Holds(i, PartBytesHeld(targets[i], files[i].size));
  }

  // File i holds bytes of its whole. Any thread, one at a time per file:
  // a file is fetched by one worker at once and taken after it returned.
  void Holds(size_t i, uint64_t bytes) {
    bytes = std::min(bytes, files_[i].size);
    const uint64_t was = held_[i].load();
    if (bytes <= was) return;
    held_[i].store(bytes);
    sum_.fetch_add(bytes - was);
  }
  void Taken(size_t i) {
    ++taken_;
    Holds(i, files_[i].size);
  }
  uint32_t Percent() const {
    const uint64_t percent = byBytes_ ? sum_.load() * 100 / total_ : taken_ * 100 / files_.size();
    return static_cast<uint32_t>(percent);
  }

 private:
  const std::vector<FileEntry>& files_;
  std::vector<std::atomic<uint64_t>> held_;
  std::atomic<uint64_t> sum_{0};
  uint64_t total_ = 0;
  bool byBytes_ = false;
  size_t taken_ = 0;  // the caller's thread only
};

// What the files fetched cost on the wire against their whole sizes, when
// any of them came as a patch.
struct WireCost {
  uint64_t moved = 0;
  uint64_t whole = 0;
  bool patched = false;
};

// How often a paused update looks at its flags again.
constexpr auto kPauseRepeat = std::chrono::milliseconds(250);

// Tells the page whether the update's downloads run ("идёт"), wait
// ("пауза") or are over (""), so it shows the matching controls.
void PostRunState(LauncherContext& ctx, std::string_view state) {
  PostToUi(ctx, R"({"updateRun":{"state":")" + std::string(state) + R"("}})");
}

// Fetches every file of toUpdate into the client folder, several at once,
// and returns how many did not arrive whole or could not be put in place.
// A file is put in place only whole and checked, so the client on the disk
// is always one the game can run. A pause lets the files in flight stop at
// their next quiet moment with what arrived in their ".part" and starts no
// new one until "client.resume"; a stop (the player's or closing the
// launcher) does the same and ends the run, stopped then telling so.
size_t DownloadFiles(UpdateContext& ctx, StatusRows& rows, const std::string& clientDir,
                     const std::vector<FileEntry>& toUpdate, bool sizesKnown, WireCost& cost, bool& stopped) {
  const size_t count = toUpdate.size();
  rows.back() = MakeStateRow(RowState::Ok, "Требуют обновления: " + std::to_string(count) + " файлов", "Готово");
  rows.push_back(MakeStateRow(RowState::Run, "Загружаю", "0%"));
  PostVerifyRows(ctx, rows);

  const std::atomic<bool>& pause = ctx.flags.pauseRequested;
  const std::atomic<bool>& closing = ctx.launcher.tasks.stopping();
  const auto stopping = [&] { return ctx.flags.stopRequested.load() || closing.load(); };
  // The downloads' stop, set from the task thread when either stop comes.
  std::atomic<bool> halt{false};
  size_t failures = 0;
  const auto failed = [&](const FileEntry& entry, DownloadResult result) {
    const std::string text = DownloadResultText(result);
    LogLine(ctx.launcher.log, "не обновился %s: %s", entry.path.c_str(), text.c_str());
    ++failures;
    rows.push_back(MakeStateRow(RowState::Bad, entry.path + " — " + text, "Ошибка"));
  };
  // A file whose flush or rename fails after its bytes arrived is reported
  // here, later than its transfer, and counts as not updated all the same.
  DownloadSession session(ctx, [&](const PlacedFile& placed) {
    if (placed.result != DownloadResult::Ok) failed(toUpdate[placed.tag], placed.result);
  });
  std::vector<std::string> targets(count);
  for (size_t i = 0; i < count; ++i) targets[i] = ClientFilePath(clientDir, toUpdate[i].path);
  std::vector<size_t> todo(count);
  for (size_t i = 0; i < count; ++i) todo[i] = i;
  size_t done = 0;
  DownloadShare share(toUpdate, targets, sizesKnown);
  // The bar hears of the share from this thread alone, and only when its
  // whole percent grew, so a fast line does not flood the page.
  uint32_t shown = 0;
  const auto showShare = [&] {
    const uint32_t percent = share.Percent();
    if (percent <= shown) return;
    shown = percent;
    PostProgress(ctx, "Обновление клиента", percent, ProgressStage::Busy);
  };
  PostRunState(ctx, "идёт");
  while (!todo.empty()) {
    if (pause.load() && !stopping()) {
      PostRunState(ctx, "пауза");
      shown = std::max(shown, share.Percent());
      PostProgress(ctx, "Обновление на паузе", shown, ProgressStage::Busy);
      while (pause.load() && !stopping()) {
        session.Poll();
        std::this_thread::sleep_for(kPauseRepeat);
      }
      if (!stopping()) PostRunState(ctx, "идёт");
    }
    if (stopping()) break;
    // One round: every file left, until all came or a pause or stop lets
    // the round run dry.
    std::vector<DownloadResult> results(todo.size(), DownloadResult::Ok);
    std::vector<FetchedFile> fetched(todo.size());
    std::vector<char> taken(todo.size(), 0);
    {
      FetchWorkers workers(
          todo.size(), FetchWorkers::kMaxWorkers,
          [&](size_t k) -> const std::string& { return targets[todo[k]]; },
          [&](size_t k, FetchWorkers& self) {
            if (halt.load() || pause.load()) {
              results[k] = DownloadResult::Paused;
              return false;
            }
            const FileEntry& entry = toUpdate[todo[k]];
            results[k] = session.Fetch(FileRequestPath(entry.path, entry.md5), targets[todo[k]], entry.md5,
                                       entry.size, {pause, halt},
                                       [&share, i = todo[k]](uint64_t held) { share.Holds(i, held); }, sizesKnown,
                                       fetched[k]);
            if (results[k] == DownloadResult::Ok) return true;
            if (results[k] != DownloadResult::Paused && results[k] != DownloadResult::Stopped) self.Shrink();
            return false;
          },
          &ctx);
      const auto idle = [&] {
        session.Poll();
        if (stopping()) halt.store(true);
        if (halt.load() || pause.load()) workers.Halt();
        showShare();
      };
      // The rows follow the list, whichever worker finishes.
      size_t k = 0;
      while (workers.Next(k, idle)) {
        idle();
        if (results[k] == DownloadResult::Paused || results[k] == DownloadResult::Stopped) continue;
        taken[k] = 1;
        const size_t i = todo[k];
        if (results[k] == DownloadResult::Ok) {
          cost.moved += fetched[k].movedBytes;
          cost.whole += toUpdate[i].size;
          cost.patched = cost.patched || fetched[k].patched;
          session.Place(std::move(fetched[k]), i);
        } else {
          failed(toUpdate[i], results[k]);
        }
        share.Taken(i);
        ShowDownloaded(ctx, rows, ++done, count, failures);
        showShare();
      }
    }
    std::vector<size_t> left;
    for (size_t k = 0; k < todo.size(); ++k)
      if (!taken[k]) left.push_back(todo[k]);
    todo = std::move(left);
  }
  // The build number is stamped only once every file is on the disk.
  session.Drain();
  stopped = !todo.empty();
  PostRunState(ctx, "");
  return failures;
}

// The last rows and "progress" of an update that had files to fetch.
void FinishDownload(ClientContext& ctx, StatusRows& rows, const FileList& list, size_t failures,
                    const WireCost& cost, bool stopped) {
  if (stopped) {
    // Nothing is stamped: the next check offers the update again, and the
    // next update fetches only the files still differing, continuing their
    // ".part" files.
    rows[kDownloadRow] = MakeStateRow(RowState::Bad, "Обновление остановлено", "Стоп");
    PostProgress(ctx, "Обновление остановлено — скачанное сохранено", 0, ProgressStage::Ready);
  } else if (failures > 0) {
    // The old build number stays, so the next check still offers the update.
    rows[kDownloadRow] = MakeStateRow(RowState::Bad, "Обновление завершено с ошибками", "Ошибки");
    PostProgress(ctx, "Обновление завершено с ошибками", 100, ProgressStage::Ready);
  } else {
    rows[kDownloadRow] = MakeStateRow(RowState::Ok, "Все файлы обновлены", "Готово");
    // What the old copies saved the player, when they saved anything.
    if (cost.patched)
      rows.push_back(MakeStateRow(RowState::Ok,
                                  "Скачано " + FormatSize(cost.moved) + " вместо " + FormatSize(cost.whole), "Готово"));
    StampShowAndCheck(ctx, list);
    PostProgress(ctx, "Клиент обновлён", 100, ProgressStage::Ready);
  }
  PostVerifyRows(ctx, rows);
}

// The last rows and "progress" of an update that found every file right.
void FinishUnchanged(ClientContext& ctx, StatusRows& rows, const FileList& list) {
  rows.back() = MakeStateRow(RowState::Ok, "Все файлы на месте", "Готово");
  rows.push_back(MakeStateRow(RowState::Ok, "Клиент приведён к версии сервера", "Готово"));
  StampShowAndCheck(ctx, list);
  PostProgress(ctx, "Клиент актуален", 100, ProgressStage::Ready);
  PostVerifyRows(ctx, rows);
}

void RunUpdate(UpdateContext& ctx) {
  StatusRows rows;
  FileList list;
  if (const auto fetched = FetchListShowingRows(ctx, rows, list); !fetched) {
    ShowListRefused(ctx, rows, ListFailureText(ctx, fetched.reason(), list));
    return;
  }
  FinishEarlierMove(ctx, list);
  const std::string clientDir = FindClientDir(ctx);
  if (clientDir.empty() || list.entries.empty()) {
    rows.push_back(MakeStateRow(RowState::Bad, "Нечего обновлять", "Готово"));
    PostVerifyRows(ctx, rows);
    return;
  }
  if (RefusedOverLauncher(ctx, rows, clientDir, list.entries)) return;
  const std::vector<FileEntry> toUpdate = FilesThatDiffer(ctx, rows, clientDir, list.entries);
  if (toUpdate.empty()) {
    FinishUnchanged(ctx, rows, list);
    return;
  }
  WireCost cost;
  bool stopped = false;
  const size_t failures = DownloadFiles(ctx, rows, clientDir, toUpdate, list.sizesKnown, cost, stopped);
  FinishDownload(ctx, rows, list, failures, cost, stopped);
}

}  // namespace

void RequestUpdateStop(UpdateFlags& flags) {
  flags.stopRequested.exchange(true);
  flags.pauseRequested.exchange(false);
}

void UpdateClient(UpdateContext& ctx) {
  // One guard for the install and the update: whichever takes it first
  // writes the client, the other is turned away.
  const ClientWriterHold hold(ctx.writer, ClientWriter::Update);
  if (hold.taken()) {
    // A pause or stop sent before this run began was for no run.
    ctx.flags.pauseRequested.exchange(false);
    ctx.flags.stopRequested.exchange(false);
    ctx.flags.running.exchange(true);
    RunUpdate(ctx);
    ctx.flags.running.exchange(false);
  } else if (hold.holder() == ClientWriter::Install) {
    LogLine(ctx.launcher.log, "обновление не начато: идёт установка");
    // The page waits for a "progress" that says it may act again.
    PostVerifyRows(ctx, {MakeStateRow(RowState::Bad, "Обновление не начато: идёт установка игры", "Ошибка")});
    PostProgress(ctx, "Обновление не начато: идёт установка игры", 0, ProgressStage::Ready);
  } else if (hold.holder() == ClientWriter::Move) {
    LogLine(ctx.launcher.log, "обновление не начато: идёт перенос клиента");
    PostVerifyRows(ctx, {MakeStateRow(RowState::Bad, "Обновление не начато: идёт перенос игры", "Ошибка")});
    PostProgress(ctx, "Обновление не начато: идёт перенос игры", 0, ProgressStage::Ready);
  } else {
    // The running update reports for both.
    LogLine(ctx.launcher.log, "обновление не начато: предыдущее ещё идёт");
  }
}

void CheckForUpdate(ClientContext& ctx) { PostUpdateCheck(ctx, FetchServerBuild(ctx)); }

void PostUpdateCheck(ClientContext& ctx, std::optional<int32_t> serviceBuild) {
  if (serviceBuild)
    CompareWithServer(ctx, *serviceBuild);
  else
    PostProgress(ctx, "Сервер обновлений недоступен", 0, ProgressStage::Ready);
}

void PostUpdateStatus(ClientContext& ctx, int32_t local, int32_t remote) {
  PostToUi(ctx, R"({"update":{"available":false,"local":)" + std::to_string(local) + R"(,"remote":)" +
                    std::to_string(remote) + "}}");
}

}  // namespace tarn

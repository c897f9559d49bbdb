#include "update/move.h"

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "bridge/page_events.h"
#include "bridge/text.h"
#include "client/discovery.h"
#include "client/file_list.h"
#include "client/install_folder.h"
#include "client/install_record.h"
#include "client/install_stage.h"
#include "client/list_fetch.h"
#include "client/version_file.h"
#include "client/writer_guard.h"
#include "download/session.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/folder_move.h"
#include "platform/input_file.h"
#include "platform/output_file.h"
#include "platform/paths.h"
#include "update/verify.h"

namespace tarn {
namespace {

// Room kept free beyond the copy itself, as the install keeps.
constexpr uint64_t kSpaceReserve = 64ull * 1024 * 1024;
constexpr size_t kCopyPiece = 1024 * 1024;
// A folder holding more names than a list could leave there is no
// leftover of a move, whatever it holds.
constexpr size_t kNamesLooked = 4096;

constexpr const char* kMoving = "Перенос клиента";
// A client found beside the launcher has no record yet; the one a move
// writes says it is whole, as the copy is.
std::string Finished() { return std::string(InstallStageText(InstallStage::Installed)); }

void PostMoveState(LauncherContext& ctx, bool running) {
  PostToUi(ctx, std::string(R"({"move":{"running":)") + (running ? "true" : "false") + "}}");
}

// The last row and the bar of a move that ends without moving anything.
bool Refuse(LauncherContext& ctx, StatusRows& rows, const std::string& why) {
  LogLine(ctx.log, "перенос клиента отменён: %s", why.c_str());
  rows.push_back(MakeStateRow(RowState::Bad, why, "Ошибка"));
  PostVerifyRows(ctx, rows);
  PostProgress(ctx, why, 0, ProgressStage::Ready);
  return false;
}

// The list's folders below a client folder, deepest first, for removing
// them once emptied.
std::vector<std::string> ListedFolders(const std::string& base, const std::vector<FileEntry>& entries) {
  std::set<std::string> relative;
  for (const FileEntry& e : entries)
    for (size_t i = 0; i < e.path.size(); ++i)
      if (e.path[i] == '\\' || e.path[i] == '/') relative.insert(e.path.substr(0, i));
  std::vector<std::string> folders(relative.begin(), relative.end());
  std::sort(folders.begin(), folders.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (std::string& folder : folders) folder = ClientFilePath(base, folder);
  return folders;
}

bool ShowMoved(ClientContext& ctx, StatusRows& rows, const std::string& to) {
  rows.push_back(MakeStateRow(RowState::Ok, "Игра перенесена в «" + to + "»", "Готово"));
  PostVerifyRows(ctx, rows);
  PostProgress(ctx, "Игра перенесена", 100, ProgressStage::Ready);
  return true;
}

// Whether install.cfg now says exactly this: its rewrite reports nothing.
bool Recorded(ClientContext& ctx, const std::string& key, const std::string& value) {
  return GetConfigValue(ctx, key) == value;
}

bool ShowStopped(ClientContext& ctx, StatusRows& rows, const std::string& from) {
  LogLine(ctx.launcher.log, "перенос клиента остановлен, игра осталась в %s", from.c_str());
  const std::string why = "Перенос остановлен — игра осталась в «" + from + "»";
  rows.push_back(MakeStateRow(RowState::Bad, why, "Остановлено"));
  PostVerifyRows(ctx, rows);
  PostProgress(ctx, why, 0, ProgressStage::Ready);
  return false;
}

// Removes the listed files, the marker and the folders they leave empty;
// the folder itself too when nothing else is left. Nothing unlisted is
// touched, so a player's own files stay; nor is a file reached through a
// link below base, which would lie elsewhere. The resolved name is
// compared as the list's names are, since Windows answers with the case
// the disk keeps.
void RemoveListedCopy(const std::string& base, const std::vector<FileEntry>& entries) {
  const std::string resolved = ResolvedPath(base);
  for (const FileEntry& e : entries) {
    const std::string file = ClientFilePath(base, e.path);
    if (!resolved.empty() && ListPathKey(ResolvedPath(file)) == ListPathKey(ClientFilePath(resolved, e.path)))
      RemoveFile(file);
  }
  RemoveFile(JoinPath(base, kMoveMarker));
  for (const std::string& folder : ListedFolders(base, entries)) RemoveEmptyFolder(folder);
  RemoveEmptyFolder(base);
}

// The move's words for a list it cannot go on with.
std::string ListFailureText(ClientContext& ctx, ListFetch fetched, const FileList& list) {
  switch (fetched) {
    case ListFetch::Unreachable: return "Сервер не отвечает — без списка файлов игру не перенести";
    case ListFetch::BadSignature: return "Подпись списка неверна — перенос отменён";
    default: return ListRefusalText(ctx, fetched, list) + " Перенос отменён.";
  }
}

// Whether the old copy an earlier move left may lose its listed files: a
// real folder (no link) that the folder rules would take, neither the
// client's folder nor around or inside it, and no place of the launcher's
// own. A hand-edited note such as "." names no place of its own.
bool OldCopyRemovable(ClientContext& ctx, const std::string& old, const std::string& current) {
  if (CheckChosenFolder(TrimTrailingSeparators(old)) != FolderProblem::None || !FolderNames(old, 1)) return false;
  const std::string there = ResolvedPath(old);
  if (there.empty() || IsLauncherPlace(ctx, old)) return false;
  for (const std::string& client : {current, GetConfigValue(ctx, "path")}) {
    const std::string here = ResolvedPath(client);
    if (here.empty() || IsSameOrInside(here, there) || IsSameOrInside(there, here)) return false;
  }
  return true;
}

enum class TargetState { Fresh, Empty, Leftover, Taken };

TargetState LookAtTarget(const std::string& to) {
  const auto names = FolderNames(to, kNamesLooked);
  if (!names) return names.reason() == FileError::Missing ? TargetState::Fresh : TargetState::Taken;
  if (names->empty()) return TargetState::Empty;
  const bool marked = std::find(names->begin(), names->end(), kMoveMarker) != names->end();
  return marked ? TargetState::Leftover : TargetState::Taken;
}

// Copies one file, never through a link, with its data on the disk before
// it counts. Stopped: false with stopped set.
Result<void, FileError> CopyOneFile(const std::string& from, const std::string& to, const std::atomic<bool>& stop,
                                    const std::atomic<bool>& closing, std::string& piece, bool& stopped,
                                    uint64_t& copied) {
  InputFile input;
  if (!OpenInputFile(from, input)) return Fail(FileError::Missing);
  if (!EnsureParentDirs(to)) return Fail(FileError::Failed);
  OutputFile output;
  if (auto opened = OpenOutputFile(to, 0, output); !opened) return Fail(opened.reason());
  for (uint64_t offset = 0;;) {
    if (stop.load() || closing.load()) {
      stopped = true;
      return Fail(FileError::Failed);
    }
    const int64_t got = ReadInputFile(input, offset, piece.data(), piece.size());
    if (got < 0) return Fail(FileError::Failed);
    if (got == 0) break;
    if (auto written = WriteOutputFile(output, std::string_view(piece.data(), static_cast<size_t>(got))); !written)
      return Fail(written.reason());
    offset += static_cast<uint64_t>(got);
    copied += static_cast<uint64_t>(got);
  }
  return CommitOutputFile(output);
}

// The version file the launcher stamps, when it lies in the client folder
// and the list does not name it: it goes along as an entry checked against
// its own checksum.
void AddVersionFile(ClientContext& ctx, const std::string& from, std::vector<FileEntry>& entries) {
  const std::string file = FindVersionFile(ctx);
  if (file.size() <= from.size() + 1 || !IsSameOrInside(file, from)) return;
  std::string relative = file.substr(from.size() + 1);
  std::replace(relative.begin(), relative.end(), NativeSeparator(), '\\');
  for (const FileEntry& e : entries)
    if (ListPathKey(e.path) == ListPathKey(relative)) return;
  FileEntry entry;
  entry.path = relative;
  if (!FileMd5Hex(file, entry.md5)) return;
  entry.size = FileSize(file).value_or(0);
  entries.push_back(std::move(entry));
}

// The marker goes first, so a copy cut off anywhere is known for a
// leftover of this launcher's own. Its name is what counts, so it is made
// under that name at once: a temporary name would leave, when cut off, a
// folder no move takes for its own.
bool PutMarker(const std::string& to, const std::string& from) {
  const std::string marker = JoinPath(to, kMoveMarker);
  OutputFile file;
  return EnsureParentDirs(marker) && OpenOutputFile(marker, 0, file).ok() && WriteOutputFile(file, from).ok() &&
         CommitOutputFile(file).ok();
}

struct Move {
  std::string from;
  std::string to;
  std::vector<FileEntry> entries;
  uint64_t bytes = 0;
};

// Every file into the new folder, then every one checked. False when the
// copy stopped or failed: what it wrote is gone again.
bool CopyAndCheck(ClientContext& ctx, MoveFlags& flags, StatusRows& rows, const Move& m) {
  const std::atomic<bool>& closing = ctx.launcher.tasks.stopping();
  if (!PutMarker(m.to, m.from))
    return Refuse(ctx, rows, "Не удалось создать папку «" + m.to + "». Игра осталась на прежнем месте.");
  LogLine(ctx.launcher.log, "перенос клиента копированием: %s -> %s, файлов %zu (%s)", m.from.c_str(), m.to.c_str(),
          m.entries.size(), FormatSize(m.bytes).c_str());
  const size_t count = m.entries.size();
  rows.push_back(MakeStateRow(RowState::Run, "Копирую файлы", "0%"));
  uint64_t copied = 0;
  uint32_t shown = 101;
  std::string piece(kCopyPiece, '\0');
  for (size_t i = 0; i < count; ++i) {
    const FileEntry& e = m.entries[i];
    bool stopped = false;
    const auto done = CopyOneFile(ClientFilePath(m.from, e.path), ClientFilePath(m.to, e.path), flags.stopRequested,
                                  closing, piece, stopped, copied);
    if (!done) {
      RemoveListedCopy(m.to, m.entries);
      rows.pop_back();
      if (stopped) return ShowStopped(ctx, rows, m.from);
      return Refuse(ctx, rows,
                    done.reason() == FileError::DiskFull
                        ? "На диске новой папки закончилось место. Игра осталась на прежнем месте."
                        : "Не удалось скопировать «" + e.path + "». Игра осталась на прежнем месте.");
    }
    const auto percent = static_cast<uint32_t>(m.bytes ? copied * 100 / m.bytes : (i + 1) * 100 / count);
    if (percent == shown && i + 1 < count) continue;
    shown = percent;
    rows.back() = MakeStateRow(RowState::Run,
                               "Копирую файлы — " + std::to_string(i + 1) + " из " + std::to_string(count),
                               std::to_string(percent) + "%");
    PostVerifyRows(ctx, rows);
    PostProgress(ctx, kMoving, percent * 4 / 5, ProgressStage::Busy);
  }
  rows.back() = MakeStateRow(RowState::Ok, "Скопировано файлов: " + std::to_string(count), "Готово");
  rows.push_back(MakeStateRow(RowState::Run, "Сверяю копию со списком", "0%"));
  PostVerifyRows(ctx, rows);
  shown = 101;
  const std::vector<size_t> bad = FindMismatchedEntries(m.to, m.entries, [&](size_t done, size_t total) {
    const auto percent = static_cast<uint32_t>(done * 100 / total);
    if (percent == shown) return;
    shown = percent;
    rows.back() = MakeStateRow(RowState::Run, "Сверяю копию — " + std::to_string(done) + " из " + std::to_string(total),
                               std::to_string(percent) + "%");
    PostVerifyRows(ctx, rows);
    PostProgress(ctx, kMoving, 80 + percent / 5, ProgressStage::Busy);
  });
  if (!bad.empty()) {
    RemoveListedCopy(m.to, m.entries);
    rows.pop_back();
    return Refuse(ctx, rows,
                  "«" + m.entries[bad.front()].path +
                      "» не совпал со списком сервера — перенос отменён, игра осталась на прежнем месте. Проверьте "
                      "клиент («Проверить») и перенесите его снова.");
  }
  rows.back() = MakeStateRow(RowState::Ok, "Копия совпала со списком", "Готово");
  return true;
}

// Why a copy cannot be made, or nothing.
std::string CopyProblem(ClientContext& ctx, const FileList& list, const Move& m) {
  // The copy is checked against the list: a client of another build would
  // be copied whole only to be refused.
  if (const int32_t build = ReadClientVersion(ctx); list.version >= 0 && build >= 0 && build != list.version)
    return "Клиент сборки " + std::to_string(build) + ", а на сервере — " + std::to_string(list.version) +
           ": сначала обновите его («Обновить»), затем перенесите. Игра осталась на прежнем месте.";
  // Room for the whole copy beside the old one.
  const uint64_t free = FreeSpaceOf(m.to);
  const uint64_t need = m.bytes + m.bytes / 32 + kSpaceReserve;
  if (list.sizesKnown && free != 0 && free < need)
    return "На диске новой папки не хватает места. Нужно " + FormatSize(need) + ", а свободно " + FormatSize(free) +
           ". Игра осталась на прежнем месте.";
  return {};
}

enum class RenameEnd { Moved, Refused, OtherFileSystem };

// The whole folder in one rename. Should the launcher die between the
// rename and the record, the record names where the folder went.
RenameEnd RenameWhole(ClientContext& ctx, StatusRows& rows, const Move& m, bool emptyTarget) {
  if (emptyTarget) RemoveEmptyFolder(m.to);
  SetConfigValue(ctx, "moving", m.to);
  // Without the note a launcher dying after the rename would not find the
  // client again.
  const bool noted = Recorded(ctx, "moving", m.to);
  const auto renamed =
      noted && EnsureParentDirs(m.to) ? RenameFolder(m.from, m.to) : Fail(RenameProblem::Failed);
  if (renamed) {
    // Should this rewrite fail, the note still leads to the client.
    SetConfigValues(ctx, {{"path", m.to}, {"state", Finished()}, {"moving", ""}});
    LogLine(ctx.launcher.log, "клиент перенесён переименованием: %s -> %s", m.from.c_str(), m.to.c_str());
    ShowMoved(ctx, rows, m.to);
    return RenameEnd::Moved;
  }
  SetConfigValue(ctx, "moving", "");
  if (renamed.reason() == RenameProblem::OtherFileSystem) return RenameEnd::OtherFileSystem;
  Refuse(ctx, rows, "Не удалось перенести папку «" + m.from + "» в «" + m.to + "». Игра осталась на прежнем месте.");
  return RenameEnd::Refused;
}

bool RunMove(ClientContext& ctx, MoveFlags& flags) {
  StatusRows rows;
  // Only a finished client moves: an unfinished one is the install's to
  // finish where it stands.
  if (!IsClientInstalled(ctx)) return Refuse(ctx, rows, "Игра ещё не установлена до конца — перенести её нельзя");
  const std::string from = FindClientDir(ctx);
  if (from.empty()) return Refuse(ctx, rows, "Не найден каталог клиента");
  const std::optional<std::string> chosen =
      PickFolder(ctx, {.title = "Куда перенести игру", .acceptLabel = "Перенести", .startFolder = BestFixedDrive()});
  // Cancelled: nothing to say.
  if (!chosen || chosen->empty()) return false;
  const std::string trimmed = TrimTrailingSeparators(*chosen);
  if (const FolderProblem problem = CheckChosenFolder(trimmed); problem != FolderProblem::None)
    return Refuse(ctx, rows, FolderProblemText(problem));
  Move m;
  m.from = from;
  m.to = InstallFolderFor(trimmed);
  if (IsLauncherPlace(ctx, m.to)) return Refuse(ctx, rows, FolderProblemText(FolderProblem::LauncherPlace));
  const std::string here = ResolvedPath(m.from), there = ResolvedPath(m.to);
  if (here == there) return Refuse(ctx, rows, "Игра уже лежит в папке «" + m.from + "».");
  if (IsSameOrInside(there, here))
    return Refuse(ctx, rows, "Папка «" + m.to + "» лежит внутри нынешней папки игры — выберите папку вне «" + m.from + "».");
  // The old folder inside the new one makes the new one hold files.
  TargetState target = LookAtTarget(m.to);
  if (target == TargetState::Taken)
    return Refuse(ctx, rows,
                  "В папке «" + m.to + "» уже есть файлы. Выберите пустую или новую папку — чужие файлы перенос не "
                  "трогает.");

  FileList list;
  if (const auto fetched = FetchListShowingRows(ctx, rows, list); !fetched) {
    ShowListRefused(ctx, rows, ListFailureText(ctx, fetched.reason(), list));
    PostProgress(ctx, "Перенос отменён", 0, ProgressStage::Ready);
    return false;
  }
  FinishEarlierMove(ctx, list);
  m.entries = list.entries;
  AddVersionFile(ctx, m.from, m.entries);
  LauncherFiles launcher(ctx);
  for (const FileEntry& e : m.entries) {
    if (ListPathKey(e.path) == ListPathKey(kMoveMarker)) return Refuse(ctx, rows, "Список называет файл «" + e.path + "» — перенос отменён.");
    if (launcher.Reached(ClientFilePath(m.to, e.path)))
      return Refuse(ctx, rows, "Файл списка «" + e.path + "» лёг бы на данные лаунчера — перенос отменён.");
    m.bytes += e.size;
  }
  // A copy an earlier move left unfinished is cleared first; whatever else
  // is there keeps the folder taken.
  if (target == TargetState::Leftover) {
    RemoveListedCopy(m.to, m.entries);
    target = LookAtTarget(m.to);
    if (target == TargetState::Taken)
      return Refuse(ctx, rows, "В папке «" + m.to + "» уже есть файлы. Выберите пустую или новую папку.");
  }

  if (flags.stopRequested.load() || ctx.launcher.tasks.stopping().load()) return ShowStopped(ctx, rows, m.from);
  const bool sameDisk = OnSameFileSystem(m.from, m.to).value_or(false);
  std::string problem = sameDisk ? std::string() : CopyProblem(ctx, list, m);
  if (!problem.empty()) return Refuse(ctx, rows, problem);
  PostMoveState(ctx, true);
  PostProgress(ctx, kMoving, 0, ProgressStage::Busy);
  if (sameDisk) {
    const RenameEnd renamed = RenameWhole(ctx, rows, m, target == TargetState::Empty);
    if (renamed != RenameEnd::OtherFileSystem) return renamed == RenameEnd::Moved;
    if (problem = CopyProblem(ctx, list, m); !problem.empty()) return Refuse(ctx, rows, problem);
  }
  if (!CopyAndCheck(ctx, flags, rows, m)) return false;
  // The record switches in one rewrite, and only now: the copy is whole
  // and on the disk. The old copy goes after it.
  SetConfigValues(ctx, {{"path", m.to}, {"state", Finished()}, {kMovedFromKey, m.from}});
  if (!Recorded(ctx, "path", m.to)) {
    RemoveListedCopy(m.to, m.entries);
    return Refuse(ctx, rows, "Не удалось записать, где теперь игра, — перенос отменён, игра осталась на прежнем месте.");
  }
  RemoveFile(JoinPath(m.to, kMoveMarker));
  RemoveListedCopy(m.from, m.entries);
  SetConfigValue(ctx, kMovedFromKey, "");
  LogLine(ctx.launcher.log, "клиент перенесён: %s -> %s", m.from.c_str(), m.to.c_str());
  return ShowMoved(ctx, rows, m.to);
}

}  // namespace

void FinishEarlierMove(ClientContext& ctx, const FileList& list) {
  const std::string old = GetConfigValue(ctx, kMovedFromKey);
  if (old.empty()) return;
  // Without the client found, nothing says where the old copy must not be
  // touched: the note waits for a look that finds it.
  const std::string current = FindClientDir(ctx);
  if (current.empty()) return;
  RemoveFile(JoinPath(current, kMoveMarker));
  if (OldCopyRemovable(ctx, old, current)) {
    std::vector<FileEntry> entries = list.entries;
    // The version stamp is named by no list: it goes only when it is the
    // twin of the one the copy took along.
    AddVersionFile(ctx, current, entries);
    if (entries.size() > list.entries.size()) {
      std::string md5;
      if (!FileMd5Hex(ClientFilePath(old, entries.back().path), md5) || !SameChecksum(md5, entries.back().md5))
        entries.pop_back();
    }
    RemoveListedCopy(old, entries);
    LogLine(ctx.launcher.log, "прежняя копия клиента убрана: %s", old.c_str());
  } else {
    LogLine(ctx.launcher.log, "прежняя копия клиента не тронута: %s", old.c_str());
  }
  SetConfigValue(ctx, kMovedFromKey, "");
}

void FinishEarlierMoveIfFree(ClientContext& ctx, const FileList& list) {
  if (GetConfigValue(ctx, kMovedFromKey).empty()) return;
  const ClientWriterHold hold(ctx.writer, ClientWriter::Move);
  if (hold.taken()) FinishEarlierMove(ctx, list);
}

bool MoveClient(ClientContext& ctx, MoveFlags& flags) {
  if (flags.running.exchange(true)) return false;
  flags.stopRequested.exchange(false);
  bool moved = false;
  {
    const ClientWriterHold hold(ctx.writer, ClientWriter::Move);
    if (hold.taken()) {
      moved = RunMove(ctx, flags);
      PostMoveState(ctx, false);
    } else {
      StatusRows rows;
      Refuse(ctx, rows,
             hold.holder() == ClientWriter::Install ? "Перенос не начат: идёт установка игры"
                                                    : "Перенос не начат: идёт обновление клиента");
    }
  }
  flags.running.exchange(false);
  return moved;
}

void RequestMoveStop(MoveFlags& flags) { flags.stopRequested.exchange(true); }

}  // namespace tarn

#include "update/verify.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "bridge/page_events.h"
#include "bridge/parallel.h"
#include "bridge/text.h"
#include "client/discovery.h"
#include "client/epoch.h"
#include "client/list_fetch.h"
#include "client/signed_build.h"
#include "client/version_file.h"
#include "platform/crypto.h"
#include "update/move.h"
#include "update/update.h"

namespace tarn {
namespace {

// At most this many mismatches get a row of their own; the rest are
// counted in one summary row.
constexpr size_t kMismatchRows = 12;

// No real percentage takes this value, so the first file always shows.
constexpr uint32_t kNoPercentShown = 999;

std::string Format(const char* format, ...) TARN_PRINTF(1, 2);

std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n <= 0) return {};
  return std::string(text, std::min(static_cast<size_t>(n), sizeof text - 1));
}

// Verification's words for a list it cannot go on with.
std::string ListFailureText(ClientContext& ctx, ListFetch fetched, const FileList& list) {
  switch (fetched) {
    case ListFetch::Unreachable: return "Патч-сервер не отвечает";
    case ListFetch::BadSignature: return "Подпись списка неверна — список отвергнут";
    default: return ListRefusalText(ctx, fetched, list) + " Список отвергнут.";
  }
}

}  // namespace

Result<void, ListFetch> FetchListShowingRows(ClientContext& ctx, StatusRows& rows, FileList& list) {
  rows.push_back(MakeStateRow(RowState::Run, "Получаю список файлов", "Жду"));
  PostVerifyRows(ctx, rows);
  const ListFetch fetched = FetchFileList(ctx, list);
  if (fetched != ListFetch::Ok) return Fail(fetched);
  rows.back() = MakeStateRow(RowState::Ok, "Список получен, подпись верна", "Готово");
  return {};
}

void ShowListRefused(LauncherContext& ctx, StatusRows& rows, const std::string& label) {
  rows.back() = MakeStateRow(RowState::Bad, label, "Ошибка");
  PostVerifyRows(ctx, rows);
}

std::vector<size_t> FindMismatchedEntries(const std::string& clientDir, const std::vector<FileEntry>& entries,
                                          const std::function<void(size_t done, size_t total)>& afterFile) {
  // One byte per entry, each written by the thread that hashed it and read
  // here only after that file is reported finished.
  std::vector<char> differs(entries.size(), 0);
  std::vector<size_t> mismatched;
  ForEachInParallel(
      entries.size(),
      [&](size_t i) {
        std::string hex;
        const FileEntry& entry = entries[i];
        differs[i] = !FileMd5Hex(ClientFilePath(clientDir, entry.path), hex) || !SameChecksum(hex, entry.md5);
      },
      [&](size_t i) {
        if (differs[i]) mismatched.push_back(i);
        if (afterFile) afterFile(i + 1, entries.size());
      });
  return mismatched;
}

std::vector<std::string> FindMismatches(const std::string& clientDir, const std::vector<FileEntry>& entries,
                                        const std::function<void(size_t done, size_t total)>& afterFile) {
  std::vector<std::string> paths;
  for (size_t i : FindMismatchedEntries(clientDir, entries, afterFile)) paths.push_back(entries[i].path);
  return paths;
}

void VerifyClient(ClientContext& ctx) {
  StatusRows rows;
  FileList list;
  if (const auto fetched = FetchListShowingRows(ctx, rows, list); !fetched) {
    ShowListRefused(ctx, rows, ListFailureText(ctx, fetched.reason(), list));
    return;
  }
  FinishEarlierMoveIfFree(ctx, list);
  const std::vector<FileEntry>& entries = list.entries;

  const std::string clientDir = FindClientDir(ctx);
  if (clientDir.empty()) {
    rows.push_back(MakeStateRow(RowState::Bad, "Не найден каталог клиента", "Ошибка"));
    PostVerifyRows(ctx, rows);
    return;
  }
  if (entries.empty()) {
    rows.push_back(MakeStateRow(RowState::Ok, "Список пуст — проверять нечего", "Готово"));
    PostVerifyRows(ctx, rows);
    return;
  }

  rows.push_back(MakeStateRow(RowState::Run, "Сверяю файлы", "0%"));
  PostVerifyRows(ctx, rows);
  // The page hears of progress once per whole percent, however long the
  // list: at most 101 updates.
  uint32_t shown = kNoPercentShown;
  const std::vector<std::string> mismatches = FindMismatches(clientDir, entries, [&](size_t done, size_t total) {
    const auto percent = static_cast<uint32_t>(done * 100 / total);
    if (percent == shown) return;
    shown = percent;
    rows.back() = MakeStateRow(RowState::Run, Format("Сверяю файлы — %zu из %zu", done, total), Format("%u%%", percent));
    PostVerifyRows(ctx, rows);
    PostProgress(ctx, "Проверка клиента", percent, ProgressStage::Busy);
  });
  rows.back() = MakeStateRow(RowState::Ok, Format("Проверено файлов: %zu", entries.size()), "Готово");

  if (mismatches.empty()) {
    rows.push_back(MakeStateRow(RowState::Ok, "Расхождений нет — клиент целый", "Готово"));
    // The signed list at hand outranks the unsigned version document.
    PostUpdateCheck(ctx, TrustedBuild(ctx, list, FetchServerBuild(ctx)));
    PostVerifyRows(ctx, rows);
    return;
  }
  for (size_t i = 0; i < mismatches.size() && i < kMismatchRows; ++i)
    rows.push_back(MakeStateRow(RowState::Bad, mismatches[i] + " — не совпала контрольная сумма", "Перекачаю"));
  if (mismatches.size() > kMismatchRows)
    rows.push_back(MakeStateRow(RowState::Bad, Format("…и ещё %zu файлов", mismatches.size() - kMismatchRows), "Перекачаю"));
  PostProgress(ctx, "Найдены расхождения", 100, ProgressStage::Ready);
  PostVerifyRows(ctx, rows);
}

}  // namespace tarn

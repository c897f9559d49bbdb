#pragma once
// Verification of an installed client against the signed list of
// checksums, and the hashing and list rows it shares with the update.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bridge/context.h"
#include "bridge/page_events.h"
#include "client/context.h"
#include "client/file_list.h"
#include "client/list_fetch.h"
#include "platform/result.h"

namespace tarn {

// The first row of verification and update: "Получаю список файлов" while
// the list is fetched, then "Список получен, подпись верна" (not yet
// posted). Without a list to go on, the row is left for the job to word
// (ShowListRefused) and the reason comes back.
Result<void, ListFetch> FetchListShowingRows(ClientContext& ctx, StatusRows& rows, FileList& list);

// Posts the first row as failed, labelled with the job's own sentence.
void ShowListRefused(LauncherContext& ctx, StatusRows& rows, const std::string& label);

// Hashes every entry's file below clientDir once, several files at a time
// on all cores, and returns the indices (rising) of the entries whose files
// are missing, unreadable or differ (checksums compared without regard to
// letter case; sizes are not compared). afterFile, when given, hears
// (done, total) on the calling thread after each file, in list order.
std::vector<size_t> FindMismatchedEntries(const std::string& clientDir, const std::vector<FileEntry>& entries,
                                          const std::function<void(size_t done, size_t total)>& afterFile);

// The same, as the entries' list paths.
std::vector<std::string> FindMismatches(const std::string& clientDir, const std::vector<FileEntry>& entries,
                                        const std::function<void(size_t done, size_t total)>& afterFile);

// The task behind "client.verify": fetches and checks the list, hashes the
// client and shows the outcome as status rows; a clean client goes on to
// the update check. Never changes a client file; an old copy an earlier
// move left behind goes first (FinishEarlierMoveIfFree).
void VerifyClient(ClientContext& ctx);

}  // namespace tarn

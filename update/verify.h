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

namespace tarn {

// The first row of verification and update: "Получаю список файлов" while
// the list is fetched, then "Список получен, подпись верна" (not yet posted)
// or, posted, the failure's label (a list too large, broken or older than
// the client this launcher has had: what is wrong with it, then refused). False when there is no list to go on.
bool FetchListShowingRows(ClientContext& ctx, StatusRows& rows, const std::string& unreachable,
                          const std::string& badSignature, const std::string& refused, FileList& list);

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
// the update check. Never changes a file.
void VerifyClient(ClientContext& ctx);

}  // namespace tarn

#pragma once
// The install job: fetches the signed list, settles the folder, compares
// what is already there (check_phase.cpp), checks the space, downloads the
// rest with pause, stop and retries (download_phase.cpp), and stamps the
// client's build; between runs the screen shows what an install would do
// (screen.cpp). All the page sees of it is the "install" Event.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bridge/context.h"
#include "client/file_list.h"
#include "install/progress.h"
#include "install/status.h"
#include "platform/result.h"

namespace tarn {

// One install run (a background task), into the folder source names: the
// one the screen shows (the saved one when the screen shows that, else the
// suggestion, the dialog only when there is none), the player's pick, or
// the saved one (the dialog when none is saved). A folder that is not the
// saved one passes the folder rules first. Ends at once, silently, while
// another run is active; turned away with stage "ошибка" while the client
// update writes the client.
struct InstallOutcome {
  // The run finished the client: the caller brings the rest of the page up
  // to date.
  bool installed = false;
  // The build stamped as the run finished: the signed list's, or without
  // one the service's answer; nothing when neither was there. The page's
  // epoch and update check take it rather than ask again a moment later.
  std::optional<int32_t> serviceBuild;
};
InstallOutcome RunInstall(InstallContext& ctx, InstallFolderSource source);

// Why no install can be made from the service's list.
enum class InstallListProblem {
  Unreachable,   // no answer from the service
  TooLarge,      // past the ceiling this launcher reads
  BadSignature,  // the built-in key does not vouch for it
  Malformed,     // signed, but list.defect makes it unusable
  Older,         // signed for a lower build than this launcher has had
  Empty,         // names no file
  NoPacks,       // built without the game's pack archives
};

// Fetches the list, checks its signature and that an install can be made
// from it.
Result<void, InstallListProblem> FetchInstallList(InstallContext& ctx, FileList& list);

// The player's message for a list no install can be made from.
std::string InstallListProblemText(ClientContext& ctx, InstallListProblem problem, const FileList& list);

// The entries still to download, in list order, and their bytes.
struct DownloadPlan {
  std::vector<const FileEntry*> entries;
  uint64_t bytes = 0;
  bool sizesKnown = false;  // the list's sizes are exact, a 0 included
};

// The check phase of a run: every entry whose file below folder the journal
// vouches for (same checksum text, the listed size, not empty) is in place
// unread; the others are hashed, and a match is journalled. In-place files
// go to counters, the rest to plan; the install Event is posted every 128
// entries. False when a stop came first.
bool CheckInstalledFiles(InstallContext& ctx, const FileList& list, const std::string& folder,
                         TransferCounters& counters, DownloadPlan& plan);

// Works out and posts the idle state of the install screen: "нет" with the
// suggested folder, "продолжить" with the saved one, or "ошибка". Posts once
// at its start and once at its end.
void RefreshInstallScreen(InstallContext& ctx);

}  // namespace tarn

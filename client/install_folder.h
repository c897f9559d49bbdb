#pragma once
// Where the game goes: the free space of a folder's disk, the roomiest place
// to suggest, the folder dialog, and the rules an install applies to the
// folder the player picked. The disk facts come from platform/disk.h; the
// decisions are here, so they hold alike on every platform.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bridge/context.h"
#include "platform/disk.h"

namespace tarn {

// Bytes available to the user on the disk of path; 0 when unknown (which
// makes the install skip its space check).
uint64_t FreeSpaceOf(const std::string& path);

// The place with strictly the most free space, the earlier one on ties; a
// place with 0 bytes free is never chosen. Empty when none qualifies.
std::string BestPlace(const std::vector<DiskPlace>& places);

// BestPlace of the platform's install places.
std::string BestFixedDrive();

// place + "Игры" + "ТАРН" as folders; empty for an empty place.
std::string SuggestedFolder(const std::string& place);

// SuggestedFolder(BestFixedDrive()): shown before the player chooses.
std::string DefaultInstallFolder();

// The host's folder dialog, titled "Куда установить игру" with the button
// "Выбрать", opening at BestFixedDrive(). False (folder untouched) when the
// player cancels or no dialog can be shown.
bool PickInstallFolder(LauncherContext& ctx, std::string& folder);

// The chosen text without its trailing separators ("/" becomes empty).
std::string TrimTrailingSeparators(std::string text);

// The install folder for a trimmed choice: the choice itself when its last
// component is exactly "ТАРН" (case counts), else choice + separator +
// "ТАРН". So the root gives "/ТАРН" (Linux) or "D:\ТАРН" (Windows).
std::string InstallFolderFor(const std::string& trimmed);

// Why a trimmed choice cannot take a game.
enum class FolderProblem {
  None,
  Network,           // a path beginning with two separators, or on a network file system
  ControlCharacter,  // install.cfg keeps one folder per line: CR, LF, NUL and the like cannot go there
  ForbiddenCharacter,  // one of "<>|?* that Windows allows in no name: the game's command line would break
  Relative,            // not from the root: it would land below whatever the working folder happens to be
  LauncherPlace,       // is or holds the launcher's program or state folder, or lies in its data folder
};

// Checks the text first and asks the mount table only for a text that
// passes (so nothing is touched for a refused text).
FolderProblem CheckChosenFolder(const std::string& trimmed);

// Whether an install folder (the ТАРН rule applied) would mix the game with
// the launcher: the folder is the program folder or the state folder, holds
// either of them, or lies inside the data folder. Links are followed, so
// another spelling of the same place is caught too. A folder inside a
// launcher's own folder (beside its data, not in it) is fine.
bool IsLauncherPlace(LauncherContext& ctx, const std::string& folder);

// Whether a client file, once links in its path are followed, would land
// on the launcher itself: its executable, service.url, the page (ui/), the
// game runtime's prefix (wine/), launcher.log, or anything in the data
// folder. Links inside the client folder are followed on purpose, so this
// is what keeps such a link (or a launcher kept in the client folder) from
// having a listed file rewrite where the launcher connects, what its page
// runs or its records. The launcher's folder as such is not refused: a
// launcher may sit in its client's own folder, beside the game's files.
class LauncherFiles {
 public:
  explicit LauncherFiles(LauncherContext& ctx);
  bool Reached(const std::string& target);

 private:
  std::vector<std::string> files_;    // resolved: refused themselves
  std::vector<std::string> folders_;  // resolved: refused with all they hold
  // Resolved folders of the targets asked about so far: a list names
  // thousands of files in a few folders.
  std::unordered_map<std::string, std::string> resolved_;
};

// Whether inner is outer or lies below it, as texts (resolve both first
// where links count): "/a/b" is inside "/a", "/ab" is not.
bool IsSameOrInside(std::string_view inner, std::string_view outer);

// The player's message for a refused folder.
std::string FolderProblemText(FolderProblem problem);

}  // namespace tarn

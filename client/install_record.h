#pragma once
// What the installer remembers between runs, in the data folder:
// install.cfg, key=value lines ("path", "state", "version") saying where
// the client is installed and whether that install finished; and
// install.done, the journal of files an unfinished install already found
// correct, one "md5<TAB>list path" line each, so a resumed install need not
// hash them again.
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bridge/context.h"
#include "client/context.h"
#include "client/file_list.h"

namespace tarn {

// The most of install.cfg that is read: a few short lines are all it holds,
// so a larger file is damaged; its whole lines within the bound are kept,
// the rest goes at the next set.
inline constexpr size_t kInstallConfigLimitBytes = 8 * 1024;

// The launcher's data folder: the host's; without a host, the "data"
// folder beside the executable.
std::string DataPath(LauncherContext& ctx);

// data folder + install.cfg / install.done. The data folder is the host's;
// without a host it is the "data" folder beside the executable.
std::string InstallConfigPath(LauncherContext& ctx);
std::string InstallJournalPath(LauncherContext& ctx);

// The value of the first line whose key is exactly key (case counts); empty
// when there is none or the file cannot be read. Values come back as
// written: not trimmed, and an "=" inside a value is kept.
std::string GetConfigValue(ClientContext& ctx, const std::string& key);

// Sets every line of key to key=value, or appends one, and rewrites the
// file with CR LF line ends, dropping blank lines but keeping lines without
// "=". The file is replaced whole, so a crash leaves the old or the new
// content. Failures are not reported: the old file stays as it was.
void SetConfigValue(ClientContext& ctx, const std::string& key, const std::string& value);
// The same for several keys in one rewrite: one flush, and a crash leaves
// all of them old or all new.
void SetConfigValues(ClientContext& ctx, const std::vector<std::pair<std::string, std::string>>& values);

// The most of install.done that an install by list can need: each entry
// twice over and the folder line.
size_t InstallJournalLimit(const FileList& list);

// List path -> checksum text, the last line for a path winning. Lines
// without a TAB are ignored; a missing file gives an empty map. Only the
// first limit bytes are read; a longer journal is damaged, and is cut back
// to the lines read at once, since appends would never reach past it.
using InstallJournal = std::unordered_map<std::string, std::string>;
InstallJournal LoadInstallJournal(LauncherContext& ctx, size_t limit);

// The folder the journal was started for: the value of its first line when
// that is a "folder=" line, as a new journal begins. Empty without a
// journal, or for one written before journals named their folder.
std::string InstallJournalFolder(LauncherContext& ctx);

// Replaces the journal with an empty one that names folder: the lines of
// another folder's install must not vouch for files here.
void StartInstallJournal(LauncherContext& ctx, const std::string& folder);

// Appends "md5<TAB>path\r\n" in one write. Failures are not reported: a
// lost line only costs hashing that file again on the next resume.
void AppendInstallJournal(LauncherContext& ctx, const std::string& path, const std::string& md5);

}  // namespace tarn

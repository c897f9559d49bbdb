#include "client/install_record.h"

#include <string_view>
#include <vector>

#include "bridge/host_slots.h"
#include "bridge/state_file.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace tarn {

std::string DataPath(LauncherContext& ctx) {
  std::string folder = DataFolder(ctx);
  return folder.empty() ? JoinPath(ExeDir(), "data") : folder;
}

namespace {

// Lines split at LF, CRs at their ends dropped, empty lines gone, so
// hand-edited LF-only files read the same as the launcher's own.
std::vector<std::string> SplitLines(std::string_view bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string_view line = bytes.substr(start, end - start);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
    start = end + 1;
  }
  return lines;
}

// The lines among the first limit bytes (see ReadStateFile).
std::vector<std::string> ReadLines(LauncherContext& ctx, const std::string& path, size_t limit) {
  std::string bytes;
  bool oversized = false;
  ReadStateFile(ctx.log, path, limit, bytes, oversized);
  return SplitLines(bytes);
}

std::vector<std::string> ReadConfigLines(LauncherContext& ctx) {
  return ReadLines(ctx, InstallConfigPath(ctx), kInstallConfigLimitBytes);
}

bool KeyIs(std::string_view line, std::string_view key) {
  const size_t eq = line.find('=');
  return eq != std::string_view::npos && line.substr(0, eq) == key;
}

}  // namespace

std::string InstallConfigPath(LauncherContext& ctx) { return JoinPath(DataPath(ctx), "install.cfg"); }
std::string InstallJournalPath(LauncherContext& ctx) { return JoinPath(DataPath(ctx), "install.done"); }

std::string GetConfigValue(ClientContext& ctx, const std::string& key) {
  std::lock_guard lock(ctx.record.mutex);
  for (const std::string& line : ReadConfigLines(ctx))
    if (KeyIs(line, key)) return line.substr(line.find('=') + 1);
  return {};
}

void SetConfigValue(ClientContext& ctx, const std::string& key, const std::string& value) {
  SetConfigValues(ctx, {{key, value}});
}

void SetConfigValues(ClientContext& ctx, const std::vector<std::pair<std::string, std::string>>& values) {
  std::lock_guard lock(ctx.record.mutex);
  std::vector<std::string> lines = ReadConfigLines(ctx);
  // The index of the value a line sets, or values.size() for a line kept.
  const auto setBy = [&](const std::string& line) {
    size_t i = 0;
    while (i < values.size() && !KeyIs(line, values[i].first)) ++i;
    return i;
  };
  // The set lines always go in; the others while the file stays within its
  // bound, so a record full of someone else's lines cannot grow.
  size_t setBytes = 0;
  for (const auto& [key, value] : values) setBytes += key.size() + value.size() + 3;
  size_t room = kInstallConfigLimitBytes > setBytes ? kInstallConfigLimitBytes - setBytes : 0;
  std::vector<bool> written(values.size(), false);
  std::string text;
  for (const std::string& line : lines) {
    const size_t i = setBy(line);
    const std::string kept = i < values.size() ? values[i].first + "=" + values[i].second : line;
    if (i < values.size() && !written[i]) {
      text += kept + "\r\n";  // its room was kept aside above
      written[i] = true;
    } else if (kept.size() + 2 <= room) {
      // A repeated key is set again too, but only as room allows: a damaged
      // record of the same key over and over must not outgrow the bound.
      text += kept + "\r\n";
      room -= kept.size() + 2;
    }
  }
  for (size_t i = 0; i < values.size(); ++i)
    if (!written[i]) text += values[i].first + "=" + values[i].second + "\r\n";
  MakeFolder(DataPath(ctx));
  ReplaceFileAtomically(InstallConfigPath(ctx), text);
}

size_t InstallJournalLimit(const FileList& list) {
  // Every entry journalled twice over (a resumed run may repeat a line),
  // and the folder line.
  size_t bytes = 4096;
  for (const FileEntry& e : list.entries) bytes += 2 * (e.md5.size() + e.path.size() + 3);
  return bytes;
}

InstallJournal LoadInstallJournal(LauncherContext& ctx, size_t limit) {
  std::string bytes;
  bool oversized = false;
  ReadStateFile(ctx.log, InstallJournalPath(ctx), limit, bytes, oversized);
  InstallJournal journal;
  for (const std::string& line : SplitLines(bytes)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    journal[line.substr(tab + 1)] = line.substr(0, tab);
  }
  // The journal is only ever appended to: without this, lines would keep
  // going after the damage that no read ever reaches.
  if (oversized) ReplaceFileAtomically(InstallJournalPath(ctx), bytes);
  return journal;
}

namespace {
constexpr std::string_view kJournalFolderKey = "folder=";
}  // namespace

std::string InstallJournalFolder(LauncherContext& ctx) {
  // Only the first line can name the folder; entries come after it.
  // The start of the file is enough; a journal is longer than that by
  // nature, so this read is no sign of damage.
  std::string start;
  ReadFileStart(InstallJournalPath(ctx), kInstallConfigLimitBytes, start);
  const std::vector<std::string> lines = SplitLines(start.substr(0, start.find('\n')));
  if (lines.empty() || lines.front().rfind(kJournalFolderKey, 0) != 0) return {};
  return lines.front().substr(kJournalFolderKey.size());
}

void StartInstallJournal(LauncherContext& ctx, const std::string& folder) {
  MakeFolder(DataPath(ctx));
  // A line without a TAB is no entry, so readers that know nothing of the
  // folder line pass over it.
  ReplaceFileAtomically(InstallJournalPath(ctx), std::string(kJournalFolderKey) + folder + "\r\n");
}

void AppendInstallJournal(LauncherContext& ctx, const std::string& path, const std::string& md5) {
  // The host made the data folder at start-up, but a player may have
  // removed it since; one cheap call saves the resume information.
  MakeFolder(DataPath(ctx));
  AppendToFile(InstallJournalPath(ctx), md5 + "\t" + path + "\r\n", WriteSharing::Exclusive);
}

}  // namespace tarn

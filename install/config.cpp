#include "install/config.h"

#include <string_view>
#include <vector>

#include "bridge/host_slots.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace tarn {
namespace {

std::string DataPath() {
  std::string folder = DataFolder();
  return folder.empty() ? JoinPath(ExeDir(), "data") : folder;
}

// Lines split at LF, CRs at their ends dropped, empty lines gone, so
// hand-edited LF-only files read the same as the launcher's own.
std::vector<std::string> ReadLines(const std::string& path) {
  std::string bytes;
  if (!ReadWholeFile(path, bytes)) return {};
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string_view line(bytes.data() + start, end - start);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
    start = end + 1;
  }
  return lines;
}

bool KeyIs(std::string_view line, std::string_view key) {
  const size_t eq = line.find('=');
  return eq != std::string_view::npos && line.substr(0, eq) == key;
}

}  // namespace

std::mutex& ConfigLock() {
  static auto* lock = new std::mutex;  // never destroyed: detached tasks may use it during exit
  return *lock;
}

std::string InstallConfigPath() { return JoinPath(DataPath(), "install.cfg"); }
std::string InstallJournalPath() { return JoinPath(DataPath(), "install.done"); }

std::string GetConfigValue(const std::string& key) {
  std::lock_guard lock(ConfigLock());
  for (const std::string& line : ReadLines(InstallConfigPath()))
    if (KeyIs(line, key)) return line.substr(line.find('=') + 1);
  return {};
}

void SetConfigValue(const std::string& key, const std::string& value) {
  std::lock_guard lock(ConfigLock());
  std::vector<std::string> lines = ReadLines(InstallConfigPath());
  bool replaced = false;
  for (std::string& line : lines) {
    if (KeyIs(line, key)) {
      line = key + "=" + value;
      replaced = true;
    }
  }
  if (!replaced) lines.push_back(key + "=" + value);
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  MakeFolder(DataPath());
  ReplaceFileAtomically(InstallConfigPath(), text);
}

InstallJournal LoadInstallJournal() {
  InstallJournal journal;
  for (const std::string& line : ReadLines(InstallJournalPath())) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    journal[line.substr(tab + 1)] = line.substr(0, tab);
  }
  return journal;
}

namespace {
constexpr std::string_view kJournalFolderKey = "folder=";
}  // namespace

std::string InstallJournalFolder() {
  // Only the first line can name the folder; entries come after it.
  const std::vector<std::string> lines = ReadLines(InstallJournalPath());
  if (lines.empty() || lines.front().rfind(kJournalFolderKey, 0) != 0) return {};
  return lines.front().substr(kJournalFolderKey.size());
}

void StartInstallJournal(const std::string& folder) {
  MakeFolder(DataPath());
  // A line without a TAB is no entry, so readers that know nothing of the
  // folder line pass over it.
  ReplaceFileAtomically(InstallJournalPath(), std::string(kJournalFolderKey) + folder + "\r\n");
}

void AppendInstallJournal(const std::string& path, const std::string& md5) {
  // The host made the data folder at start-up, but a player may have
  // removed it since; one cheap call saves the resume information.
  MakeFolder(DataPath());
  AppendToFile(InstallJournalPath(), md5 + "\t" + path + "\r\n", WriteSharing::Exclusive);
}

}  // namespace tarn

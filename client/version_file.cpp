#include "client/version_file.h"

#include <array>
#include <climits>
#include <cstdio>
#include <string_view>

#include "bridge/log.h"
#include "bridge/state_file.h"
#include "client/discovery.h"
#include "client/install_record.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace tarn {
namespace {

// Where a client keeps version.sw, relative to a folder of the search, in
// the order they are tried.
constexpr std::array<std::array<std::string_view, 4>, 3> kVersionSuffixes{{
    {"config", "element", "version.sw", ""},
    {"install", "config", "element", "version.sw"},
    {"client", "config", "element", "version.sw"},
}};

// The client folder and up to four above it.
constexpr int kVersionSearchFolders = 5;

// Only the number at the start of the file counts; the client's own
// second field and anything after it are never read.
constexpr size_t kVersionReadBytes = 63;

std::string JoinAll(std::string folder, const std::array<std::string_view, 4>& parts) {
  for (std::string_view part : parts)
    if (!part.empty()) folder = JoinPath(folder, part);
  return folder;
}

std::string DefaultVersionFile(const std::string& clientDir) { return JoinAll(clientDir, kVersionSuffixes[0]); }

}  // namespace

int32_t LeadingNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<int64_t>(INT32_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

namespace {

// Creates every missing folder on the way to the folder that holds
// filePath. True when that folder exists afterwards.
bool MakeParentFolders(const std::string& filePath) {
  const char sep = NativeSeparator();
  const size_t last = filePath.rfind(sep);
  if (last == std::string::npos || last == 0) return true;
  const std::string folder = filePath.substr(0, last);
  // Levels that already exist (a drive, the root) simply fail to be made
  // again; only the last level's answer matters.
  for (size_t pos = folder.find(sep, 1); pos != std::string::npos; pos = folder.find(sep, pos + 1))
    MakeFolder(folder.substr(0, pos));
  return MakeFolder(folder);
}

// Where a write of version.sw notes the temporary file it is about to make
// beside it, until the rename: the launcher's own data folder.
std::string TemporaryNotePath(LauncherContext& ctx) { return JoinPath(DataPath(ctx), "client-temp"); }

// The longest note read: one path.
constexpr size_t kNoteBytes = 4096;

// Removes the temporary file of a write of version.sw that never reached
// its rename (the launcher was killed), known by its note alone.
void RemoveNotedTemporary(LauncherContext& ctx) {
  const std::string note = TemporaryNotePath(ctx);
  std::string temp;
  bool oversized = false;
  if (!ReadStateFile(ctx.log, note, kNoteBytes, temp, oversized)) return;
  const size_t name = temp.find_last_of(std::string{'/', NativeSeparator()});
  // Nothing but a temporary of some version.sw, whatever the note says.
  if (!oversized && name != std::string::npos && std::string_view(temp).substr(name + 1).starts_with("version.sw.") &&
      temp.find_first_of("\r\n") == std::string::npos && IsFile(temp)) {
    RemoveFile(temp);
    LogLine(ctx.log, "убран временный файл прерванной записи версии: %s", temp.c_str());
  }
  RemoveFile(note);
}

}  // namespace

std::string FindVersionFile(ClientContext& ctx) {
  const std::string clientDir = FindClientDir(ctx);
  if (clientDir.empty()) return {};
  std::string folder = clientDir;
  for (int level = 0; level < kVersionSearchFolders && !folder.empty(); ++level) {
    for (const auto& suffix : kVersionSuffixes) {
      const std::string candidate = JoinAll(folder, suffix);
      if (!IsFile(candidate)) continue;
      const std::string full = FullPath(candidate);
      if (full.empty()) continue;
      LogLine(ctx.launcher.log, "файл версии: %s", full.c_str());
      return full;
    }
    folder = SearchParent(folder);
  }
  return DefaultVersionFile(clientDir);
}

int32_t ReadClientVersion(ClientContext& ctx) {
  const std::string path = FindVersionFile(ctx);
  if (path.empty()) return -1;
  std::string bytes;
  if (!ReadFileStart(path, kVersionReadBytes, bytes)) return -1;
  return LeadingNumber(bytes);
}

bool WriteClientVersion(ClientContext& ctx, int32_t build) {
  const std::string path = FindVersionFile(ctx);
  if (path.empty()) return false;
  MakeParentFolders(path);
  char text[32];
  const int n = std::snprintf(text, sizeof text, "%d 0\n", build);
  if (n <= 0) return false;
  // The client folder holds the list's files, whatever their names: only a
  // temporary file this launcher noted before making it is ever removed
  // there.
  RemoveNotedTemporary(ctx);
  const std::string note = TemporaryNotePath(ctx);
  MakeFolder(DataPath(ctx));
  const bool written = ReplaceSharedFileAtomically(path, std::string_view(text, static_cast<size_t>(n)),
                                                   [&note](const std::string& temp) {
                                                     ReplaceFileAtomically(note, temp);
                                                   });
  RemoveFile(note);
  if (!written) return false;
  LogLine(ctx.launcher.log, "версия клиента проставлена: %d", build);
  return true;
}

}  // namespace tarn

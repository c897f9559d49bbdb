#include "bridge/log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "bridge/text.h"
#include "platform/file.h"
#include "platform/output_file.h"
#include "platform/paths.h"

namespace tarn {
namespace {

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[1024];
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(big.data(), big.size(), format, args);
  big.resize(static_cast<size_t>(n));
  return big;
}

}  // namespace

// Appends one line unless the file is full; the first line that does not
// fit leaves the closing line in its place, after which the file takes no
// more. The size is read before every line, so a file deleted or emptied
// meanwhile takes lines again. The lock keeps this process's size test and
// append together.
void Log::Append(const std::string& path, const std::string& bytes, bool exclusive) {
  const WriteSharing sharing = exclusive ? WriteSharing::Exclusive : WriteSharing::Shared;
  const std::string full = LogLineBytes(kLogFullLine);
  std::lock_guard hold(mutex_);
  const auto size = static_cast<int64_t>(FileSize(path).value_or(0));
  if (size < closedAt_) closedAt_ = -1;  // a new file since
  if (size == closedAt_) return;
  if (size + static_cast<int64_t>(bytes.size() + full.size()) <= kLogLimitBytes) {
    AppendToFile(path, bytes, sharing);
  } else if (AppendToFile(path, full, sharing)) {
    closedAt_ = size + static_cast<int64_t>(full.size());
  }
}

bool Log::FirstTime(const std::string& key) {
  std::lock_guard hold(mutex_);
  return told_.insert(key).second;
}

std::string LogPath() { return JoinPath(StateDir(), "launcher.log"); }

std::string LogLineBytes(const std::string& text) {
  std::u16string units = Utf8ToWide(text);
  if (units.size() > kLogLineUnits) {
    size_t cut = kLogLineUnits;
    // Never leave half a surrogate pair at the end of a line.
    if (units[cut - 1] >= 0xD800 && units[cut - 1] <= 0xDBFF) --cut;
    units.resize(cut);
  }
  units += u"\r\n";
  std::string bytes;
  bytes.reserve(units.size() * 2);
  for (char16_t u : units) {
    bytes += static_cast<char>(u & 0xFF);
    bytes += static_cast<char>(u >> 8);
  }
  return bytes;
}

void LogLine(Log& log, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = FormatV(format, args);
  va_end(args);
  log.Append(LogPath(), LogLineBytes(text), false);
}

void LogHostLine(Log& log, const char* format, ...) {
  std::call_once(log.hostReset_, [&log] {
    log.hostPath_ = LogPath();
    RemoveFile(log.hostPath_);
  });
  va_list args;
  va_start(args, format);
  const std::string text = FormatV(format, args);
  va_end(args);
  log.Append(log.hostPath_, LogLineBytes(text), true);
}

}  // namespace tarn

#pragma once
// launcher.log: a plain diagnostic log beside the executable that a player
// can show to support. UTF-16LE without a byte-order mark, CR LF line ends,
// no time stamps or levels. Each line is one open-append-close, so the file
// can be read or even deleted while the program runs.
#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#if defined(__MINGW32__)
// MinGW's "printf" archetype is the old Microsoft runtime's, which knows no
// %zu; the log formats with MinGW's standard printf, so check against that.
#define TARN_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define TARN_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TARN_PRINTF(fmt, args)
#endif

namespace tarn {

// Longest line text in UTF-16 units; longer output is cut without a mark.
inline constexpr size_t kLogLineUnits = 1023;

// The most launcher.log grows to within one run. A line that would take it
// past this is dropped; the first such line is replaced by kLogFullLine,
// so the file says why it ends there.
inline constexpr int64_t kLogLimitBytes = 8 << 20;
inline constexpr char kLogFullLine[] = "журнал достиг 8 МиБ: дальше строки этого запуска не записываются";

// StateDir + launcher.log: beside the program, or in the user's data folder
// for an installed copy.
std::string LogPath();

// One launcher's writer of launcher.log; the launcher's context owns it.
// It keeps this run's bound on the file and which once-a-run notes were
// written already.
class Log {
 public:
  Log() = default;
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // True the first time a note of this key is asked for in the run: a
  // damaged file is told once, not at every read of it.
  bool FirstTime(const std::string& key);

 private:
  friend void LogLine(Log& log, const char* format, ...);
  friend void LogHostLine(Log& log, const char* format, ...);
  void Append(const std::string& path, const std::string& bytes, bool exclusive);

  std::mutex mutex_;
  int64_t closedAt_ = -1;  // the size the closing line left the file at
  std::once_flag hostReset_;
  std::string hostPath_;
  std::set<std::string> told_;  // under mutex_
};

// Appends one printf-formatted line (%s takes UTF-8). Never reports failure:
// a line that cannot be written is dropped.
void LogLine(Log& log, const char* format, ...) TARN_PRINTF(2, 3);

// The window host's writer: its first call for a log empties the file, so
// each run's log begins with the host's first diagnostic line.
void LogHostLine(Log& log, const char* format, ...) TARN_PRINTF(2, 3);

// The exact bytes one line of text becomes in the file: UTF-16LE, cut to
// kLogLineUnits units without splitting a surrogate pair, then CR LF.
std::string LogLineBytes(const std::string& text);

}  // namespace tarn

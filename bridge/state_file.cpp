#include "bridge/state_file.h"

#include "bridge/log.h"
#include "platform/file.h"

namespace tarn {

bool ReadStateFile(Log& log, const std::string& path, size_t limit, std::string& bytes, bool& oversized) {
  oversized = false;
  if (!ReadFileStart(path, limit + 1, bytes)) {
    bytes.clear();
    return false;
  }
  if (bytes.size() <= limit) return true;
  oversized = true;
  // A line cut by the bound is not the record's: keep what ends before it.
  const size_t lastEnd = bytes.rfind('\n', limit - 1);
  bytes.resize(lastEnd == std::string::npos ? 0 : lastEnd + 1);
  if (log.FirstTime("oversized " + path))
    LogLine(log,
            "%s больше %zu КиБ — файл повреждён: прочитано начало (%zu байт), остальное уйдёт при следующей записи",
            path.c_str(), limit / 1024, bytes.size());
  return true;
}

}  // namespace tarn

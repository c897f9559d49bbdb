#include "bridge/state_file.h"

#include <mutex>
#include <set>

#include "bridge/log.h"
#include "platform/file.h"

namespace tarn {

bool ReadStateFile(const std::string& path, size_t limit, std::string& bytes, bool& oversized) {
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
  static auto* lock = new std::mutex;  // never destroyed: detached tasks may read during exit
  static auto* reported = new std::set<std::string>;
  std::lock_guard hold(*lock);
  if (reported->insert(path).second)
    LogLine("%s больше %zu КиБ — файл повреждён: прочитано начало (%zu байт), остальное уйдёт при следующей записи",
            path.c_str(), limit / 1024, bytes.size());
  return true;
}

}  // namespace tarn

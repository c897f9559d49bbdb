#include "support/run_program.h"

#include "bridge/text.h"

namespace tarn::test {

std::vector<std::string> ProgramRun::lines() const {
  std::vector<std::string> result;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    result.push_back(std::move(line));
    start = end + 1;
  }
  return result;
}

std::string ScriptLine(const std::string& command) { return "\"" + tarn::JsonEscape(command) + "\"\n"; }

}  // namespace tarn::test

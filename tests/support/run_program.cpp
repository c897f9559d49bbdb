#include "support/run_program.h"

#include <sys/wait.h>

#include <cstdlib>

#include "bridge/text.h"
#include "support/temp_dir.h"

namespace tarn::test {

std::vector<std::string> ProgramRun::lines() const {
  std::vector<std::string> result;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    result.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

ProgramRun RunProgram(const std::filesystem::path& program, const std::string& input) {
  TempDir io;
  WriteFile(io.path() / "in", input);
  const std::string command = "'" + program.string() + "' < '" + (io.path() / "in").string() + "' > '" +
                              (io.path() / "out").string() + "' 2> '" + (io.path() / "err").string() + "'";
  const int status = std::system(command.c_str());
  ProgramRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadFile(io.path() / "out");
  run.err = ReadFile(io.path() / "err");
  return run;
}

std::string ScriptLine(const std::string& command) { return "\"" + tarn::JsonEscape(command) + "\"\n"; }

}  // namespace tarn::test

// Starting a program on Linux: through the shell, which does the
// redirections.
#include <sys/wait.h>

#include <cstdlib>

#include "support/run_program.h"
#include "support/temp_dir.h"

namespace tarn::test {
namespace {

// Single quotes keep every byte literal except the quote itself.
std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

ProgramRun RunProgram(const std::filesystem::path& program, const std::string& input,
                      const std::vector<std::string>& args) {
  TempDir io;
  WriteFile(io.path() / "in", input);
  std::string command = Quote(program.string());
  for (const std::string& arg : args) command += " " + Quote(arg);
  command += " < " + Quote((io.path() / "in").string()) + " > " + Quote((io.path() / "out").string()) + " 2> " +
             Quote((io.path() / "err").string());
  const int status = std::system(command.c_str());
  ProgramRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadFile(io.path() / "out");
  run.err = ReadFile(io.path() / "err");
  return run;
}

}  // namespace tarn::test

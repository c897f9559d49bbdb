// Starting a program on Linux: through the shell, which does the
// redirections.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>

#include "support/run_program.h"
#include "support/temp_dir.h"

extern char** environ;

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
  // The shell is waited for with wait4, whose usage counts the shell's own
  // waited-for children: the program's peak memory is in it.
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  int status = -1;
  struct rusage usage{};
  ProgramRun run;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) == 0) {
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.maxRssKiB = usage.ru_maxrss;
  }
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadFile(io.path() / "out");
  run.err = ReadFile(io.path() / "err");
  return run;
}

}  // namespace tarn::test

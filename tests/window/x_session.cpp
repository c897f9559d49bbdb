#include "x_session.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

extern char** environ;

namespace tarn::test {
namespace {

std::optional<int> CodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return std::nullopt;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

Xvfb::Xvfb(const std::string& screen) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // Xvfb writes the display number it chose to this descriptor, so tests
  // running side by side never fight over one.
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"};
  auto argv = Pointers(args);
  const int rc = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    pid_ = -1;
    close(fds[0]);
    return;
  }
  std::string number;
  char c;
  while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  if (!number.empty()) display_ = ":" + number;
}

Xvfb::~Xvfb() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status;
  waitpid(pid_, &status, 0);
}

Child::Child(const std::string& program, const std::string& workDir, const std::vector<std::string>& env,
             const std::vector<std::string>& extraArgs) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
  std::vector<std::string> args = {program};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<std::string> environment = env;
  auto argv = Pointers(args);
  auto envp = Pointers(environment);
  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

Child::~Child() {
  if (pid_ <= 0 || exitCode_) return;
  kill(pid_, SIGKILL);
  int status;
  waitpid(pid_, &status, 0);
}

std::optional<int> Child::Wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  if (exitCode_) return exitCode_;
  WaitUntil(
      [&] {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) exitCode_ = CodeOf(status);
        return exitCode_.has_value();
      },
      timeout);
  return exitCode_;
}

std::string Capture(const std::string& commandLine) {
  std::string out;
  FILE* pipe = popen(commandLine.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

}  // namespace tarn::test

// tarn-headless: the launcher's core driven from a terminal instead of a
// page. Operators and integration tests script the launcher with it.
//
// stdin: one Command per line, written as a JSON string literal. Lines that
// begin with ':' are directives of this host:
//   :wait            block until no task is running
//   :sleep MS        pause for MS milliseconds
//   :pick PATH       the next folder dialog answers PATH
//   :pick-cancel     the next folder dialog is cancelled
// stdout: every Event, one per line, in posting order; what a window host
// would do on the desktop is written as {"host":{...}}.
// At the end of input (or at "window.close") the host asks the tasks still
// running to stop, waits for them and exits 0.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "bridge/tasks.h"
#include "bridge/text.h"
#include "host/common/window_layout.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

// What this host keeps for one run; it outlives the launcher's tasks.
struct HeadlessHost {
  // One writer for stdout: Events and host lines from every thread go out
  // whole, in the order they entered the lock.
  std::mutex output;
  // Answers queued by :pick and :pick-cancel, consumed one per dialog.
  std::mutex picksLock;
  std::deque<std::optional<std::string>> picks;
};

void WriteLine(HeadlessHost& host, std::string line) {
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  std::lock_guard lock(host.output);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::optional<std::string> AnswerDialog(HeadlessHost& host) {
  WriteLine(host, R"({"host":{"dialog":"folder"}})");
  std::lock_guard lock(host.picksLock);
  if (host.picks.empty()) return std::nullopt;
  auto answer = std::move(host.picks.front());
  host.picks.pop_front();
  return answer;
}

// The window commands a window host serves before Dispatch sees them.
// True for "window.close", which ends the run as closing the window does.
bool ServeWindowCommand(HeadlessHost& host, const std::string& command) {
  switch (ParseWindowCommand(command)) {
    case WindowCommand::Drag:
    case WindowCommand::Minimize:
      WriteLine(host, R"({"host":{"window":")" + command.substr(7) + "\"}}");
      return false;
    case WindowCommand::Close:
      WriteLine(host, R"({"host":{"window":"close"}})");
      return true;
    case WindowCommand::Other:
      break;
  }
  return false;
}

bool Directive(LauncherContext& ctx, HeadlessHost& host, const std::string& line) {
  if (line == ":wait") {
    WaitForTasks(ctx.tasks);
  } else if (line.rfind(":sleep ", 0) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(line.c_str() + 7)));
  } else if (line.rfind(":pick ", 0) == 0) {
    std::lock_guard lock(host.picksLock);
    host.picks.emplace_back(line.substr(6));
  } else if (line == ":pick-cancel") {
    std::lock_guard lock(host.picksLock);
    host.picks.emplace_back(std::nullopt);
  } else {
    return false;
  }
  return true;
}

int Run() {
  HeadlessHost host;
  Launcher launcher;
  LauncherContext& ctx = launcher.context;
  const std::string dataFolder = JoinPath(StateDir(), "data");
  MakeFolder(dataFolder);
  InstallHostSlots(ctx,
                   {
                       .post = [&host](const std::string& event) { WriteLine(host, event); },
                       .open =
                           [&host](const std::string& target, const std::string& params) {
                             WriteLine(host, R"({"host":{"open":")" + JsonEscape(target) + R"(","params":")" +
                                                 JsonEscape(params) + "\"}}");
                           },
                       .pickFolder = [&host](const FolderDialog&) { return AnswerDialog(host); },
                       .dataFolder = dataFolder,
                       // Input decides when this host ends; it tells what a window would do.
                       .close = [&host] { WriteLine(host, R"({"host":{"window":"close"}})"); },
                   },
                   LoadServiceEndpoint(ctx.log, ExeDir()));
  LogHostLine(ctx.log, "без окна: команды из стандартного ввода");

  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line[0] == ':') {
      if (!Directive(ctx, host, line)) std::fprintf(stderr, "tarn-headless: unknown directive: %s\n", line.c_str());
      continue;
    }
    if (line.size() < 2 || line.front() != '"' || line.back() != '"') {
      std::fprintf(stderr, "tarn-headless: not a JSON string literal: %s\n", line.c_str());
      continue;
    }
    const std::string command = JsonUnescape(std::string_view(line).substr(1, line.size() - 2));
    if (ServeWindowCommand(host, command)) break;
    Dispatch(launcher, command);
  }
  // The end of the script (or "window.close") closes the launcher: what
  // still runs is asked to stop and waited for.
  if (CloseLauncher(launcher, kCloseWait)) return 0;
  // A task that overstayed still holds the launcher: leave without tearing
  // it down under the task.
  std::lock_guard lock(host.output);
  std::fflush(stdout);
  std::_Exit(0);
}

}  // namespace
}  // namespace tarn

int main() { return tarn::Run(); }

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
// At the end of input the host waits for its tasks and exits 0.
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "bridge/dispatch.h"
#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "bridge/tasks.h"
#include "bridge/text.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "wiring/wiring.h"

namespace tarn {
namespace {

// One writer for stdout: Events and host lines from every thread go out
// whole, in the order they entered the lock.
std::mutex& OutputLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

void WriteLine(std::string line) {
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  std::lock_guard lock(OutputLock());
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Answers queued by :pick and :pick-cancel, consumed one per dialog.
struct Picks {
  std::mutex mutex;
  std::deque<std::optional<std::string>> answers;
};

Picks& ThePicks() {
  static auto* picks = new Picks;
  return *picks;
}

std::optional<std::string> AnswerDialog(const FolderDialog&) {
  WriteLine(R"({"host":{"dialog":"folder"}})");
  Picks& p = ThePicks();
  std::lock_guard lock(p.mutex);
  if (p.answers.empty()) return std::nullopt;
  auto answer = std::move(p.answers.front());
  p.answers.pop_front();
  return answer;
}

// The window commands a window host serves before Dispatch sees them.
// "window.close" ends the program at once, as closing the window does:
// running tasks end with the process.
void ServeWindowCommand(const std::string& command) {
  if (command == "window.drag" || command == "window.minimize") {
    WriteLine(R"({"host":{"window":")" + command.substr(7) + "\"}}");
  } else if (command == "window.close") {
    WriteLine(R"({"host":{"window":"close"}})");
    std::lock_guard lock(OutputLock());
    std::fflush(stdout);
    std::_Exit(0);
  }
}

bool Directive(const std::string& line) {
  if (line == ":wait") {
    WaitForTasks();
  } else if (line.rfind(":sleep ", 0) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(line.c_str() + 7)));
  } else if (line.rfind(":pick ", 0) == 0) {
    std::lock_guard lock(ThePicks().mutex);
    ThePicks().answers.emplace_back(line.substr(6));
  } else if (line == ":pick-cancel") {
    std::lock_guard lock(ThePicks().mutex);
    ThePicks().answers.emplace_back(std::nullopt);
  } else {
    return false;
  }
  return true;
}

int Run() {
  const std::string dataFolder = JoinPath(StateDir(), "data");
  MakeFolder(dataFolder);
  InstallHostSlots(
      {
          .post = [](const std::string& event) { WriteLine(event); },
          .open =
              [](const std::string& target, const std::string& params) {
                WriteLine(R"({"host":{"open":")" + JsonEscape(target) + R"(","params":")" + JsonEscape(params) +
                          "\"}}");
              },
          .pickFolder = AnswerDialog,
          .dataFolder = dataFolder,
      },
      LoadServiceEndpoint(ExeDir()));
  LogHostLine("без окна: команды из стандартного ввода");

  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line[0] == ':') {
      if (!Directive(line)) std::fprintf(stderr, "tarn-headless: unknown directive: %s\n", line.c_str());
      continue;
    }
    if (line.size() < 2 || line.front() != '"' || line.back() != '"') {
      std::fprintf(stderr, "tarn-headless: not a JSON string literal: %s\n", line.c_str());
      continue;
    }
    const std::string command = JsonUnescape(std::string_view(line).substr(1, line.size() - 2));
    ServeWindowCommand(command);
    Dispatch(command);
  }
  WaitForTasks();
  return 0;
}

}  // namespace
}  // namespace tarn

int main() { return tarn::Run(); }

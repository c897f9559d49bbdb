#include "launch/game.h"

#include <cstdio>

#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "bridge/page_events.h"
#include "bridge/text.h"
#include "client/discovery.h"
#include "client/writer_guard.h"
#include "launch/runtime.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/proxy.h"
#include "service/call.h"

namespace tarn {
namespace {

constexpr std::string_view kClientExe = "ElementClient.exe";
// Game packs the player set aside; their mere presence tells the client to
// look for packs elsewhere.
constexpr std::string_view kSetAsidePacks = "_disabled-*.pck";
// What launcher.log shows in place of a password.
constexpr std::string_view kPasswordMask = "***";

// The game reads its command line by the Windows argument rules, where a
// backslash only means something before a double quote: a value without a
// quote and without a trailing backslash needs nothing, and any other gets
// its quotes escaped and the backslashes that precede them doubled.
void AppendValue(std::string& out, std::string_view value) {
  if (value.find('"') == std::string_view::npos && (value.empty() || value.back() != '\\')) {
    out += value;
    return;
  }
  size_t slashes = 0;
  for (char c : value) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    out.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
    out += c;
    slashes = 0;
  }
  out.append(slashes * 2, '\\');  // the closing quote follows
}

void AppendPiece(std::string& out, std::string_view key, std::string_view value) {
  if (value.empty()) return;
  out += ' ';
  out += key;
  out += ":\"";
  AppendValue(out, value);
  out += '"';
}

bool HoldsControl(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

// The command line holds the plain password: it is wiped on every way out.
struct WipedText {
  std::string text;
  ~WipedText() { WipeText(text); }
};

// The one place a launch that did not happen is worded for the player; the
// page may act again after each.
void ShowLaunchProblem(LauncherContext& ctx, LaunchProblem problem) {
  std::string status;
  switch (problem) {
    case LaunchProblem::InstallRunning: status = "Дождитесь окончания установки"; break;
    case LaunchProblem::UpdateRunning: status = "Дождитесь окончания обновления клиента"; break;
    case LaunchProblem::MoveRunning: status = "Дождитесь окончания переноса игры"; break;
    case LaunchProblem::NoWine:
      status = "Не удалось запустить игру: нужен Wine. Установите пакет wine (sudo apt install wine)";
      break;
    case LaunchProblem::WineNotReady: status = "Не удалось запустить игру: Wine не смог подготовить папку игры"; break;
    case LaunchProblem::BadValues:
    case LaunchProblem::StartFailed: status = "Не удалось запустить игру"; break;
    case LaunchProblem::Closing: return;
  }
  PostProgress(ctx, status, 0, ProgressStage::Ready);
}

}  // namespace

std::string GameCommandLine(const GameCall& call) {
  std::string line;
  // Room for the worst case up front: growing would leave copies of the
  // password behind in freed memory.
  line.reserve(96 + call.clientDir.size() + 2 * (call.login.size() + call.password.size() + call.character.size()));
  line += '"';
  line += JoinPath(call.clientDir, kClientExe);
  line += "\" startbypatcher";
  if (call.sepfile) line += " sepfile";
  AppendPiece(line, "user", call.login);
  AppendPiece(line, "pwd", call.password);
  AppendPiece(line, "role", call.character);
  return line;
}

bool LaunchValuesAcceptable(std::string_view login, std::string_view password, std::string_view character) {
  return !HoldsControl(login) && !HoldsControl(character) && password.find('\0') == std::string_view::npos;
}

void LaunchGame(LaunchContext& ctx, const std::string& login, const std::string& password,
                const std::string& character) {
  // A client half written by the install or the update, or half moved,
  // would start broken, or not at all, and hold its files open against the
  // writer.
  if (const ClientWriter writer = CurrentClientWriter(ctx.writer); writer != ClientWriter::Nobody) {
    const bool install = writer == ClientWriter::Install, move = writer == ClientWriter::Move;
    LogLine(ctx.launcher.log, "запуск игры отклонён: идёт %s",
            install ? "установка" : move ? "перенос клиента" : "обновление клиента");
    ShowLaunchProblem(ctx, install ? LaunchProblem::InstallRunning
                           : move  ? LaunchProblem::MoveRunning
                                   : LaunchProblem::UpdateRunning);
    return;
  }
  const std::string dir = FindClientDir(ctx);
  if (dir.empty()) {
    PostProgress(ctx, "Не найден ElementClient.exe", 0, ProgressStage::Busy);
    return;
  }
  if (!LaunchValuesAcceptable(login, password, character)) {
    LogLine(ctx.launcher.log, "запуск игры отклонён: управляющий символ в логине или имени персонажа, или NUL в пароле");
    ShowLaunchProblem(ctx, LaunchProblem::BadValues);
    return;
  }
  if (const auto ready = ReadyGameRuntime(ctx, JoinPath(dir, kClientExe)); !ready) {
    ShowLaunchProblem(ctx, ready.reason());
    return;
  }
  GameCall call{dir, FolderHasMatch(dir, kSetAsidePacks), login, password, character};
  if (call.sepfile) LogLine(ctx.launcher.log, "обнаружены отодвинутые паки — добавляю sepfile");
  LogLine(ctx.launcher.log, "запуск игры: логин=%s персонаж=%s", login.c_str(),
          character.empty() ? "(не выбран)" : character.c_str());
  WipedText line{GameCommandLine(call)};

  const auto started = StartProgram(JoinPath(dir, kClientExe), line.text, dir);
  if (started) {
    LogLine(ctx.launcher.log, "клиент запущен, pid=%u", started.value());
    PostProgress(ctx, "Игра запущена", 100, ProgressStage::Ready);
    return;
  }
  // Support reads the log: it gets the line as built, all but the password.
  call.password = password.empty() ? "" : kPasswordMask;
  LogLine(ctx.launcher.log, "CreateProcess не удался, код %u; строка: %s", started.reason(), GameCommandLine(call).c_str());
  ShowLaunchProblem(ctx, LaunchProblem::StartFailed);
}

void PushEnv(ClientContext& ctx) {
  std::string dir = FindClientDir(ctx);
  if (dir.empty()) dir = "не найдена";
  // "server" stays host:port as it always was; "service" adds the scheme,
  // so the page and support see whether the address is the default.
  const ServiceEndpoint endpoint = ServiceEndpointInUse(ctx);
  // "proxy" names the road the requests take (empty when direct), never
  // the proxy's user or password.
  PostToUi(ctx, R"({"env":{"clientDir":")" + JsonEscape(dir) + R"(","server":")" +
                    JsonEscape(ServiceHostPort(endpoint)) + R"(","launcher":"1.0","service":")" +
                    JsonEscape(ServiceUrlText(endpoint)) + R"(","proxy":")" +
                    JsonEscape(ProxyShown(ServiceProxy(ctx, endpoint))) + "\"}}");
}

}  // namespace tarn

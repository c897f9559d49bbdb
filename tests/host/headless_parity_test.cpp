// The Windows build of the headless host, run under Wine, must answer a
// script of the bridge core's Commands exactly as the Linux build does. Only
// what legitimately differs between the platforms is normalised: the form of
// the executable's folder (and the separator after it) and the viewer that
// opens the log.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bridge/dispatch.h"
#include "bridge/text.h"
#include "platform/shell.h"
#include "support/launcher.h"
#include "support/run_program.h"
#include "support/service_fixture.h"
#include "support/service_launcher.h"
#include "support/temp_dir.h"
#include "webview/standin_fixture.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Capture;
using test::ScriptLine;

// Both copies sit in a folder whose name is not ASCII, so the folder of the
// executable travels through UTF-16 on Windows before it reaches any output.
constexpr const char* kFolder = "Игры ТАРН";

struct Outcome {
  int exitCode = -1;
  std::vector<std::string> out;
  std::string err;
  std::string log;  // launcher.log, byte for byte
  bool dataFolder = false;
};

// Replaces every occurrence of from by to.
std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// The folder as a Windows program under Wine sees it: drive Z: is the Unix
// root.
std::string WineForm(const std::string& unixPath) { return "Z:" + ReplaceAll(unixPath, "/", "\\"); }

// Accounts, news and the update check at start, then a verify that finds a
// damaged client, the update that mends it and a verify that finds it
// whole; each run to its end before the next.
const std::vector<std::string>& ServiceCommands() {
  static const std::vector<std::string> commands = {
      "ui.ready", "account.add\n{\"login\":\"demo\",\"password\":\"demo\"}",
      "account.add\n{\"login\":\"demo\",\"password\":\"wrong\"}",
      "account.add\n{\"login\":\"nobody\",\"password\":\"x\"}", "accounts.refresh",
      "account.remove\n{\"login\":\"demo\"}", "client.verify", "client.update", "client.verify"};
  return commands;
}

// The update's bar follows the bytes as they arrive, so how many of its
// Events a run posts depends on timing; the hosts are compared without it.
constexpr const char* kUpdateBar = R"({"progress":{"status":"Обновление клиента")";

std::vector<std::string> WithoutUpdateBar(std::vector<std::string> events) {
  std::erase_if(events, [](const std::string& e) { return e.find(kUpdateBar) != std::string::npos; });
  return events;
}

// Puts a copy of the site's client beside a host, one build behind, with
// one file missing and one altered, saved as the installed client.
void PlaceDamagedClient(const fs::path& site, const fs::path& hostDir, const std::string& gamePath) {
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(site / "client"))
    if (e.is_regular_file() && e.path().extension() == ".pck") files.push_back(e.path().lexically_relative(site / "client"));
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), 2u);
  const fs::path game = hostDir / "game";
  fs::copy(site / "client", game, fs::copy_options::recursive);
  fs::remove(game / files[0]);
  test::WriteFile(game / files[1], "not what the list says");
  test::WriteFile(game / "config" / "element" / "version.sw", "2 0\n");
  fs::create_directories(hostDir / "data");
  test::WriteFile(hostDir / "data" / "install.cfg", "path=" + gamePath + "\r\nstate=готово\r\n");
}

// How many progress Events a download makes depends on timing, so install
// Events are compared by stage: consecutive ones of one stage count once;
// the rest stay whole.
std::vector<std::string> InstallShape(const std::vector<std::string>& out) {
  std::vector<std::string> kept;
  std::string lastStage;
  for (const std::string& line : out) {
    if (line.rfind(R"({"install":)", 0) == 0) {
      const std::string stage = JsonString(line, "stage");
      if (stage == lastStage && stage != "готово") continue;
      lastStage = stage;
      // The disk's free space moves while the test runs.
      const std::string free = R"("freeBytes":)" + JsonField(line, "freeBytes");
      kept.push_back(stage == "готово" ? ReplaceAll(line, free, R"("freeBytes":?)") : "install:" + stage);
    } else {
      kept.push_back(line);
    }
  }
  return kept;
}

class HeadlessParity : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv("XDG_DATA_HOME"); }
  void SetUp() override {
    // The copy of the .exe lives outside the Windows build folder, so the
    // Wine wrapper is told which prefix to use.
    setenv("TARN_WINEPREFIX", TARN_WINE_PREFIX, 1);
    // The Linux secret store keeps its key under the user's data folder.
    setenv("XDG_DATA_HOME", (keyHome_.path() / "share").c_str(), 1);
    linuxExe_ = Install(linuxDir_, TARN_HEADLESS);
    windowsExe_ = Install(windowsDir_, TARN_HEADLESS_EXE);
  }

  static fs::path Install(const test::TempDir& dir, const char* program) {
    return test::PlaceProgram(program, dir.path() / test::Utf8Path(kFolder));
  }

  // A demo site served to both hosts, each pointed at it by its
  // service.url. Wine opens sockets in its server process, which outlives
  // its programs by a few seconds and stays in the network namespace it
  // started in. The Windows side gets a prefix of its own, whose server is
  // ended first, so it connects to this run's service and no other.
  void StartService(const fs::path& site, test::ServiceProcess& service) {
    setenv("TARN_WINEPREFIX", TARN_SERVICE_WINE_PREFIX, 1);
    ASSERT_EQ(std::system((std::string(TARN_WINE_RUN) + " --end-server").c_str()), 0);
    ASSERT_TRUE(test::MakeDemoSite(site, {"--size-mib", "1", "--files", "6"}));
    ASSERT_TRUE(service.Start(site)) << service.error();
    for (const fs::path& exe : {linuxExe_, windowsExe_}) test::PointAtService(exe.parent_path(), service);
  }

  // Rewrites what is allowed to differ in one Event into placeholders.
  static std::string Normalised(std::string line, const std::string& openLog, const std::string& exeDir) {
    line = ReplaceAll(line, openLog, "{\"host\":{\"open\":\"<log viewer>\"}}");
    line = ReplaceAll(line, JsonEscape(exeDir), "<exe dir>");
    // A folder below the executable's is joined with the system's own separator.
    return ReplaceAll(line, "<exe dir>\\\\", "<exe dir>/");
  }

  // The Events the window host posted to the page, normalised, in the
  // headless host's form of one line each.
  static std::vector<std::string> Posted(const test::LauncherRun& run, const std::string& exeDir) {
    std::vector<std::string> posted;
    for (std::string line : test::Lines(run.records, "posted ")) {
      std::replace_if(line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
      posted.push_back(Normalised(line.substr(7), "\x01 no log viewer", exeDir));
    }
    return posted;
  }

  // Runs one build and rewrites what is allowed to differ into placeholders.
  static Outcome Run(const fs::path& exe, const std::string& script, const std::string& exeDir,
                     const std::string& openLog, const std::vector<std::string>& args = {},
                     const fs::path& program = {}) {
    const test::ProgramRun run = test::RunProgram(program.empty() ? exe : program, script, args);
    Outcome o;
    o.exitCode = run.exitCode;
    for (const std::string& line : run.lines()) o.out.push_back(Normalised(line, openLog, exeDir));
    o.err = ReplaceAll(run.err, "\r\n", "\n");
    o.log = test::ReadFile(exe.parent_path() / "launcher.log");
    o.dataFolder = fs::is_directory(exe.parent_path() / "data");
    return o;
  }

  Outcome RunLinux(const std::string& script) {
    const std::string dir = test::PathUtf8(linuxExe_.parent_path());
    const ShellTarget viewer = TextViewerFor(dir + "/launcher.log");
    return Run(linuxExe_, script, dir,
               R"({"host":{"open":")" + JsonEscape(viewer.target) + R"(","params":")" + JsonEscape(viewer.params) +
                   "\"}}");
  }

  Outcome RunWindows(const std::string& script) {
    const std::string dir = WineForm(test::PathUtf8(windowsExe_.parent_path()));
    const std::string openLog =
        R"({"host":{"open":"notepad.exe","params":")" + JsonEscape(dir + "\\launcher.log") + "\"}}";
    return Run(windowsExe_, script, dir, openLog, {test::PathUtf8(windowsExe_)}, TARN_WINE_RUN);
  }

  test::TempDir linuxDir_, windowsDir_, keyHome_;
  fs::path linuxExe_, windowsExe_;
};

void ExpectSame(const Outcome& linux, const Outcome& windows) {
  EXPECT_EQ(windows.exitCode, linux.exitCode);
  const auto differ = std::mismatch(windows.out.begin(), windows.out.end(), linux.out.begin(), linux.out.end());
  if (differ.first != windows.out.end() || differ.second != linux.out.end())
    ADD_FAILURE() << "Events part at " << (differ.first - windows.out.begin()) << "\n windows:  "
                  << (differ.first != windows.out.end() ? *differ.first : "(none)") << "\n linux:    "
                  << (differ.second != linux.out.end() ? *differ.second : "(none)");
  EXPECT_EQ(windows.err, linux.err);
  EXPECT_EQ(windows.log, linux.log) << "launcher.log differs";
  EXPECT_EQ(windows.dataFolder, linux.dataFolder);
}

TEST_F(HeadlessParity, BridgeCoreCommandsAnswerAlike) {
  std::string script = ScriptLine("window.drag") + ScriptLine("window.minimize");
  for (const char* key : {"site", "forum", "tg", "ds", "SITE", "", "сайт"})
    script += ScriptLine(std::string("link.open\n{\"name\":\"") + key + "\"}");
  script += ScriptLine("link.open\n{\"name\":\"f\\u006frum\"}") + ScriptLine("link.open\n{\"name\":\"site") +
            ScriptLine("link.open") + ScriptLine("open.log") + ScriptLine("open.log\n{\"ignored\":1}") +
            ScriptLine("install.pause") + ScriptLine("install.stop") + ScriptLine("no.such.command") +
            ScriptLine("команда") + ScriptLine("window.drag\r") +
            // Lines the host rejects, each with its own complaint on stderr.
            "window.drag\n:bogus\n\"unterminated\n\n" + ":sleep 1\n:pick C:\\games\n:pick-cancel\n:wait\n" +
            ScriptLine("window.close") + ScriptLine("link.open\n{\"name\":\"site\"}");
  const Outcome linux = RunLinux(script);
  const Outcome windows = RunWindows(script);

  ASSERT_EQ(linux.exitCode, 0) << linux.err;
  // The script really exercised what it is meant to: links, the log viewer
  // in the executable's folder, and window.close ending the run.
  ASSERT_GE(linux.out.size(), 8u);
  EXPECT_EQ(linux.out.back(), R"({"host":{"window":"close"}})");
  EXPECT_EQ(std::count(linux.out.begin(), linux.out.end(), R"({"host":{"open":"<log viewer>"}})"), 2);
  ExpectSame(linux, windows);
}

TEST_F(HeadlessParity, EmptyScriptWritesTheSameLogAndFolders) {
  test::WriteFile(linuxExe_.parent_path() / "launcher.log", "earlier run");
  test::WriteFile(windowsExe_.parent_path() / "launcher.log", "earlier run");
  const Outcome linux = RunLinux("");
  const Outcome windows = RunWindows("");
  EXPECT_EQ(linux.exitCode, 0);
  EXPECT_TRUE(linux.out.empty());
  EXPECT_FALSE(linux.log.empty());
  EXPECT_EQ(linux.log.find("earlier"), std::string::npos);
  EXPECT_TRUE(linux.dataFolder);
  ExpectSame(linux, windows);
}

// Both hosts against one reference service (ServiceCommands). Every step
// waits for its tasks, so the order of Events is fixed.
TEST_F(HeadlessParity, ServiceCommandsAnswerAlike) {
  const fs::path site = keyHome_.path() / "site";
  test::ServiceProcess service;
  ASSERT_NO_FATAL_FAILURE(StartService(site, service));

  PlaceDamagedClient(site, linuxExe_.parent_path(), test::PathUtf8(linuxExe_.parent_path() / "game"));
  PlaceDamagedClient(site, windowsExe_.parent_path(), WineForm(test::PathUtf8(windowsExe_.parent_path())) + "\\game");
  std::string script;
  for (const std::string& command : ServiceCommands()) script += ScriptLine(command) + ":wait\n";
  Outcome linux = RunLinux(script);
  Outcome windows = RunWindows(script);
  // The log names the game's files in each system's own form.
  const auto gameForm = [](Outcome& o, const std::string& gamePath, bool backslashes) {
    std::string text = ReplaceAll(WideToUtf8(test::LogUnits(o.log)), gamePath, "<game>");
    if (backslashes) std::replace(text.begin(), text.end(), '\\', '/');
    o.log = text;
  };
  gameForm(linux, test::PathUtf8(linuxExe_.parent_path() / "game"), false);
  gameForm(windows, WineForm(test::PathUtf8(windowsExe_.parent_path())) + "\\game", true);

  ASSERT_EQ(linux.exitCode, 0) << linux.err;
  EXPECT_NE(linux.log.find("<game>/config/element/version.sw"), std::string::npos) << linux.log;
  const auto has = [&](const std::string& part) {
    return std::any_of(linux.out.begin(), linux.out.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
  };
  // The script reached the service on every road: news, a character list,
  // a refused password, a mended client.
  EXPECT_TRUE(has(R"({"news":[)"));
  EXPECT_TRUE(has(R"("chars":[{)"));
  EXPECT_TRUE(has("Неверный логин или пароль"));
  EXPECT_TRUE(has("Все файлы обновлены"));
  EXPECT_GT(service.BytesSent("/api/file"), 0u);
  linux.out = WithoutUpdateBar(linux.out);
  windows.out = WithoutUpdateBar(windows.out);
  ExpectSame(linux, windows);
}

// The install through both hosts, each into a folder picked beside it: the
// same stages in the same order, the same final state and follow-up Events,
// and the same files on disk. How many progress Events a download makes
// depends on timing, so those are compared by stage, not one by one.
TEST_F(HeadlessParity, InstallAnswersAlike) {
  const fs::path site = keyHome_.path() / "site";
  test::ServiceProcess service;
  ASSERT_NO_FATAL_FAILURE(StartService(site, service));

  constexpr const char* kNoViewer = "\x01 no log viewer here";
  const auto script = [](const std::string& folder) {
    return ":pick " + folder + "\n" + ScriptLine("install.folder") + ":wait\n";
  };
  for (const fs::path& exe : {linuxExe_, windowsExe_}) fs::create_directories(exe.parent_path() / "games");
  Outcome linux = Run(linuxExe_, script(test::PathUtf8(linuxExe_.parent_path() / "games")),
                      test::PathUtf8(linuxExe_.parent_path()), kNoViewer);
  Outcome windows = Run(windowsExe_, script(WineForm(test::PathUtf8(windowsExe_.parent_path())) + "\\games"),
                        WineForm(test::PathUtf8(windowsExe_.parent_path())), kNoViewer, {test::PathUtf8(windowsExe_)},
                        TARN_WINE_RUN);
  ASSERT_EQ(linux.exitCode, 0) << linux.err;
  ASSERT_EQ(windows.exitCode, 0) << windows.err;
  for (std::string& line : windows.out) line = ReplaceAll(line, "games\\\\ТАРН", "games/ТАРН");

  const std::vector<std::string> linuxShape = InstallShape(linux.out);
  EXPECT_EQ(InstallShape(windows.out), linuxShape);
  EXPECT_NE(std::find(linuxShape.begin(), linuxShape.end(), "install:идёт"), linuxShape.end());
  EXPECT_NE(std::find_if(linuxShape.begin(), linuxShape.end(),
                         [](const std::string& l) { return l.rfind(R"({"install":{"stage":"готово")", 0) == 0; }),
            linuxShape.end());

  for (const auto& e : fs::recursive_directory_iterator(site / "client")) {
    if (!e.is_regular_file()) continue;
    const fs::path rel = e.path().lexically_relative(site / "client");
    const std::string want = test::ReadFile(e.path());
    EXPECT_EQ(test::ReadFile(linuxExe_.parent_path() / "games" / test::Utf8Path("ТАРН") / rel), want) << rel;
    EXPECT_EQ(test::ReadFile(windowsExe_.parent_path() / "games" / test::Utf8Path("ТАРН") / rel), want) << rel;
  }
}

// How many lines of a launcher.log (as UTF-8) begin with prefix.
size_t LinesStarting(const std::string& log, std::string_view prefix) {
  size_t count = 0;
  for (size_t at = 0, end; at < log.size(); at = end + 2) {
    end = std::min(log.find("\r\n", at), log.size());
    count += std::string_view(log.data() + at, end - at).starts_with(prefix) ? 1 : 0;
  }
  return count;
}

// The reference service, and the Windows window host with the stand-in web
// view runtime installed in the service's own Wine prefix.
class WindowParity : public HeadlessParity {
 protected:
  void SetUp() override {
    HeadlessParity::SetUp();
    ASSERT_NO_FATAL_FAILURE(StartService(site_, service_));
    window_ = std::make_unique<test::StandInLauncher>(TARN_SERVICE_WINE_PREFIX);
    ASSERT_TRUE(window_->ready());
    ASSERT_TRUE(window_->Install({{}}));
    windowDir_ = window_->exe().parent_path();
    test::PointAtService(windowDir_, service_);
    windowDirText_ = test::StandInLauncher::WinePath(windowDir_);
  }

  const fs::path site_ = keyHome_.path() / "site";
  test::ServiceProcess service_;
  std::unique_ptr<test::StandInLauncher> window_;
  fs::path windowDir_;
  std::string windowDirText_;
};

// The same script, and then the game's start with a saved account,
// delivered as page messages to the Windows window host through the
// stand-in web view runtime: the Events it posts to the page are those the
// Linux headless host prints, in the same order, and both started the
// demo's game.
TEST_F(WindowParity, PageMessagesAnswerAsHeadless) {
  PlaceDamagedClient(site_, linuxExe_.parent_path(), test::PathUtf8(linuxExe_.parent_path() / "game"));
  PlaceDamagedClient(site_, windowDir_, windowDirText_ + "\\game");

  // After each step the headless host opens a link: a mark of where that
  // step's Events end, so the page waits for as many before its next step.
  const std::string mark = ScriptLine("link.open\n{\"name\":\"site\"}");
  std::vector<std::string> commands = ServiceCommands();
  commands.push_back("account.add\n{\"login\":\"demo\",\"password\":\"demo\"}");
  commands.push_back("game.launch\n{\"login\":\"demo\",\"character\":\"Арина\"}");
  std::string script;
  for (const std::string& command : commands) script += ScriptLine(command) + ":wait\n" + mark;
  // The Linux host starts the Windows game through wine in a prefix of its
  // own beside it, headless. Here that prefix is the Windows build's, ready
  // already: making a new one is a Linux-only first step with an Event of its
  // own, which the Windows host has no counterpart for.
  fs::create_directory_symlink(TARN_WINE_PREFIX, linuxExe_.parent_path() / "wine");
  std::ofstream(fs::path(TARN_WINE_PREFIX) / ".tarn-prepared").put('\n');
  setenv("WINEDEBUG", "-all", 1);
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  const Outcome linux = RunLinux(script);
  unsetenv("WINEDEBUG");
  ASSERT_EQ(linux.exitCode, 0) << linux.err;
  std::vector<std::string> events;
  std::string page;
  size_t step = 0;
  for (const std::string& line : WithoutUpdateBar(linux.out)) {
    if (line.rfind(R"({"host":{"open":)", 0) != 0) {
      events.push_back(line);
    } else if (step < commands.size()) {
      page += "message " + ReplaceAll(commands[step++], "\n", "\\n") + "\nawait-except " +
              std::to_string(events.size()) + " " + kUpdateBar + "\n";
    }
  }
  ASSERT_EQ(step, commands.size());

  const test::LauncherRun run = window_->Run(page + "close\n", 0, std::chrono::seconds(180));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(test::Lines(run.records, "await-timeout").empty());
  const std::vector<std::string> posted = WithoutUpdateBar(Posted(run, windowDirText_));
  EXPECT_GT(events.size(), commands.size());
  EXPECT_NE(std::find_if(events.begin(), events.end(),
                         [](const std::string& e) { return e.find("Игра запущена") != std::string::npos; }),
            events.end());
  // Each host started the game with the account's login.
  for (const fs::path& dir : {linuxExe_.parent_path(), windowDir_}) {
    const fs::path record = dir / "game" / "launch-record.txt";
    EXPECT_TRUE(test::WaitUntil([&] { return test::ReadFile(record).find("demo") != std::string::npos; }, 30s)) << dir;
  }
  Capture("TARN_WINEPREFIX=" TARN_WINE_PREFIX " " TARN_WINE_RUN " --end-server");
  // The repair ended with the window in front: the page said it, the
  // taskbar stays still.
  const std::string log = WideToUtf8(test::LogUnits(test::ReadFile(windowDir_ / "launcher.log")));
  EXPECT_EQ(LinesStarting(log, "окно впереди, без уведомления: Клиент обновлён"), 1u) << log;
  EXPECT_EQ(LinesStarting(log, "уведомление:"), 0u) << log;
  EXPECT_EQ(posted.size(), events.size());
  const auto differ = std::mismatch(posted.begin(), posted.end(), events.begin(), events.end());
  if (differ.first != posted.end() || differ.second != events.end())
    ADD_FAILURE() << "Events part at " << (differ.first - posted.begin()) << "\n window:   "
                  << (differ.first != posted.end() ? *differ.first : "(none)") << "\n headless: "
                  << (differ.second != events.end() ? *differ.second : "(none)");
}

// An install into the folder saved before ("install.resume": no dialog),
// asked for by the page through the window host and through the Linux
// headless host: the same stages in the same order, the same final state
// and follow-up Events, the same files. The window is minimised first, so
// its end is the player's news on the taskbar.
TEST_F(WindowParity, PageInstallAnswersAsHeadless) {
  for (const auto& [dir, saved] : {std::pair{linuxExe_.parent_path(), test::PathUtf8(linuxExe_.parent_path() / "games") + "/ТАРН"},
                                   std::pair{windowDir_, windowDirText_ + "\\games\\ТАРН"}}) {
    fs::create_directories(dir / "games");
    fs::create_directories(dir / "data");
    test::WriteFile(dir / "data" / "install.cfg", "path=" + saved + "\r\n");
  }
  constexpr const char* kNoViewer = "\x01 no log viewer here";
  const Outcome linux = Run(linuxExe_, ScriptLine("install.resume") + ":wait\n", test::PathUtf8(linuxExe_.parent_path()), kNoViewer);
  ASSERT_EQ(linux.exitCode, 0) << linux.err;
  const std::string done = R"("stage":"готово")";
  const auto last = std::find_if(linux.out.begin(), linux.out.end(), [&](const std::string& l) { return l.find(done) != std::string::npos; });
  ASSERT_NE(last, linux.out.end());

  const test::LauncherRun run = window_->Run("message window.minimize\nmessage install.resume\nawait-after " + std::to_string(linux.out.end() - last - 1) +
                                               " " + done + "\nclose\n",
                                           0, std::chrono::seconds(180));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(test::Lines(run.records, "await-timeout").empty());
  std::vector<std::string> posted;
  for (const std::string& line : Posted(run, windowDirText_)) posted.push_back(ReplaceAll(line, "games\\\\ТАРН", "games/ТАРН"));
  EXPECT_EQ(InstallShape(posted), InstallShape(linux.out));
  for (const auto& e : fs::recursive_directory_iterator(site_ / "client")) {
    if (!e.is_regular_file()) continue;
    const fs::path rel = e.path().lexically_relative(site_ / "client");
    EXPECT_EQ(test::ReadFile(windowDir_ / "games" / test::Utf8Path("ТАРН") / rel), test::ReadFile(e.path())) << rel;
  }

  // One flash for the end, and a taskbar Wine may lack or stub costs at
  // most one line, never one per Event.
  const std::string log = WideToUtf8(test::LogUnits(test::ReadFile(windowDir_ / "launcher.log")));
  EXPECT_EQ(LinesStarting(log, "уведомление: Клиент установлен"), 1u) << log;
  EXPECT_LE(LinesStarting(log, "панель задач"), 1u) << log;
}


// The launcher's own update taken through the page of the Windows window
// host, from the offer to the new launcher: the service's record names a
// newer launcher whose installer is the one this Windows build packs. The
// page's «Обновить» fetches and checks it; the launcher starts it and
// closes; the installer, once the guard is free, puts the new program and
// page into this copy unpacked from the zip and starts it; the new launcher
// removes the program it replaced and finds the player's account, password
// and all, where it was.
TEST_F(WindowParity, ANewerLauncherAcceptedOnThePageRunsInPlaceOfTheOldWithTheAccountsKept) {
  const fs::path setup = fs::path(TARN_WINDOWS_BUILD_DIR) / "tarn-launcher-setup.exe";
  const fs::path newProgram = fs::path(TARN_WINDOWS_BUILD_DIR) / "package" / "TarnLauncher" / "tarn-launcher.exe";
  ASSERT_TRUE(fs::is_regular_file(setup) && fs::is_regular_file(newProgram)) << "the Windows build has not packed";
  ASSERT_EQ(std::system(("'" + test::PublishProgram().string() + "' launcher --site '" + site_.string() + "' --key '" +
                         test::DemoPrivateKey().string() + "' --version 9.9.9 --windows '" + setup.string() +
                         "' >/dev/null")
                            .c_str()),
            0);
  const fs::path program = window_->exe();
  const std::string oldProgram = test::ReadFile(program);
  ASSERT_NE(oldProgram, test::ReadFile(newProgram));  // the packed one is stripped
  test::WriteFile(windowDir_ / "ui" / "left-by-the-old-version.js", "x");

  const std::string offer = R"({"launcherUpdate":{"version":"9.9.9"}})";
  const std::string first = "message ui.ready\nawait-after 0 " + offer +
                            "\nmessage account.add\\n{\"login\":\"demo\",\"password\":\"demo\"}\n"
                            "await-after 0 {\"accounts\":[{\"login\":\"demo\"\nmessage launcher.update\n";
  const std::string accounts = R"({"accounts":[{"login":"demo","chars":[)";
  const std::string later = "message ui.ready\nmessage accounts.refresh\nawait-after 0 " + accounts + "\nclose\n";
  const test::LauncherRun run = window_->Run(first, 0, std::chrono::seconds(180), false, later);
  // The old launcher closed itself once the installer was started.
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(test::Lines(run.records, "visible 1").size(), 1u);
  EXPECT_TRUE(test::Lines(run.records, "await-timeout").empty());
  EXPECT_EQ(test::Lines(run.records, R"(posted {"launcherUpdate":{"version":"9.9.9","done":true}})").size(), 1u);

  // The new launcher: started by the installer, shown, told the page of the
  // account, and closed by its script.
  EXPECT_TRUE(test::WaitUntil(
      [&] {
        const test::LauncherRun now = window_->Recorded();
        return test::Lines(now.records, "visible 1").size() >= 2 && now.records.back() == "close";
      },
      180s));
  Capture("TARN_WINEPREFIX=" TARN_SERVICE_WINE_PREFIX " " TARN_WINE_RUN " --end-server");
  const test::LauncherRun all = window_->Recorded();
  const std::vector<std::string> shown = test::Lines(all.records, "posted " + accounts);
  ASSERT_FALSE(shown.empty());
  EXPECT_NE(shown.back().find("Арина"), std::string::npos) << shown.back();
  std::string recorded;
  for (const std::string& line : all.records) recorded += line.substr(0, 160) + "\n";
  EXPECT_TRUE(test::Lines(all.records, "await-timeout").empty()) << recorded;

  EXPECT_EQ(test::ReadFile(program), test::ReadFile(newProgram));
  EXPECT_FALSE(fs::exists(program.string() + ".old"));
  EXPECT_FALSE(fs::exists(windowDir_ / "ui" / "left-by-the-old-version.js"));
  EXPECT_TRUE(fs::is_regular_file(windowDir_ / "ui" / "index.html"));
  EXPECT_FALSE(fs::exists(windowDir_ / "uninstall.exe"));  // a folder copy stays one
  EXPECT_EQ(test::ReadFile(windowDir_ / "data" / "launcher.serial"), "1\n");

  // The installer's own file could not go while it ran; the next start
  // removes it.
  const test::LauncherRun next = window_->Run("message ui.ready\nawait-after 0 " + offer + "\nclose\n");
  EXPECT_EQ(next.exitCode, 0);
  EXPECT_FALSE(fs::exists(windowDir_ / "data" / "tarn-launcher-setup.exe"));
  EXPECT_FALSE(fs::exists(windowDir_ / "data" / "launcher-update.handed"));
}

}  // namespace
}  // namespace tarn

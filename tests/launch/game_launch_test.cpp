// "game.launch" end to end: the headless launcher in a folder of its own
// starts the client its install record names. Stand-ins write down how they
// were started: a shell script, and the demo's Windows program under wine.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>
#include <thread>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "bridge/text.h"
#include "launch/game.h"
#include "platform/process.h"
#include "service/account_store.h"
#include "support/launcher.h"
#include "support/run_program.h"
#include "support/service_fixture.h"
#include "support/temp_dir.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Args = std::vector<std::string>;
using test::ReadFile;
using test::WriteFile;

const std::string kStarted = test::Progress("Игра запущена", 100, true);
const std::string kFailed = test::Progress("Не удалось запустить игру", 0, true);
const std::string kPassword = "Секрет-42 \"x\"";  // looked for in launcher.log
const std::string kHostile = "p\\ \"q\\";

// Working folder, its pid, its parent's, then every argument, each ended by
// NUL, then a line feed; written under another name first, so a reader
// never sees half.
constexpr char kScriptStandIn[] =
    "#!/bin/sh\n"
    "dir=$(dirname \"$0\")\n"
    "printf '%s\\0' \"$(pwd -P)\" \"$$\" \"$PPID\" \"$@\" > \"$dir/record.tmp\"\n"
    "echo >> \"$dir/record.tmp\"\n"
    "mv \"$dir/record.tmp\" \"$dir/record\"\n";

// The file's content once it holds the needle and ends in a line feed.
std::optional<std::string> WaitForFile(const fs::path& file, std::chrono::seconds limit, std::string_view needle = "") {
  for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
    if (fs::exists(file)) {
      std::string bytes = ReadFile(file);
      if (bytes.find(needle) != std::string::npos && !bytes.empty() && bytes.back() == '\n') return bytes;
    }
    std::this_thread::sleep_for(20ms);
  }
  return std::nullopt;
}

std::string FindOnPath(const std::string& name) {
  std::string_view rest = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  for (size_t colon = 0; !rest.empty(); rest = colon == rest.npos ? "" : rest.substr(colon + 1)) {
    colon = rest.find(':');
    const std::string candidate = std::string(rest.substr(0, colon)) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// Stops the wine server of the test's own prefix however the test ends.
struct WineServerStop {
  fs::path prefix;
  ~WineServerStop() {
    std::string server = FindOnPath("wineserver");
    if (server.empty()) server = "/usr/lib/wine/wineserver";
    const std::string env = "WINEPREFIX='" + prefix.string() + "' ";
    [[maybe_unused]] int rc = std::system((env + server + " -k 2>/dev/null; " + env + server + " -w").c_str());
  }
};

// How wine shows a path to a Windows program.
std::string WinePath(const fs::path& path) {
  std::string text = "Z:" + path.string();
  for (char& c : text) c = c == '/' ? '\\' : c;
  return text;
}

// A name of n two-byte letters.
std::string Long(size_t n) {
  std::string text;
  for (size_t i = 0; i < n; ++i) text += "я";
  return text;
}

class GameLaunch : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_DATA_HOME", (root_.path() / "xdg").c_str(), 1);
    fs::create_directories(launcher_ / "data");
    fs::create_directories(game_);
    fs::copy_file(TARN_HEADLESS, exe_);
    fs::copy_file(fs::path(TARN_HEADLESS).parent_path() / "tarn-game-starter.exe", launcher_ / "tarn-game-starter.exe");
    WriteFile(launcher_ / "data" / "install.cfg", "path=" + game_.string() + "\r\nstate=готово\r\n");
    InstallHostSlots(ctx, test::DataOnly((launcher_ / "data").string()));
    ASSERT_TRUE(SaveAccounts(launcher.accounts, {{"demo", kPassword}, {"a\"b", kHostile}}));
    InstallHostSlots(ctx, {});
  }
  void PutClient(const std::string& bytes, fs::perms mode = fs::perms::owner_all) {
    WriteFile(game_ / "ElementClient.exe", bytes);
    fs::permissions(game_ / "ElementClient.exe", mode);
  }
  // One launcher run with one "game.launch" and then the tail; its Events.
  Args Launch(const std::string& login, const std::string& character, const std::string& tail = "") {
    fs::remove(game_ / "record");
    const auto run = test::RunProgram(exe_, test::ScriptLine("game.launch\n{\"login\":\"" + JsonEscape(login) +
                                                             "\",\"character\":\"" + JsonEscape(character) + "\"}") +
                                                ":wait\n" + tail);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return run.lines();
  }
  // The script stand-in's record: folder, pid, parent pid, arguments.
  Args Record() {
    const auto bytes = WaitForFile(game_ / "record", 10s);
    Args parts;
    for (size_t start = 0, end; bytes && (end = bytes->find('\0', start)) != std::string::npos; start = end + 1)
      parts.push_back(bytes->substr(start, end - start));
    return parts;
  }
  std::string Log() { return WideToUtf8(test::LogUnits(ReadFile(launcher_ / "launcher.log"))); }

  test::TempDir root_;
  fs::path launcher_ = root_.path() / "launcher";
  fs::path exe_ = launcher_ / "tarn-headless";
  fs::path game_ = root_.path() / "Игры ТАРН" / "client";
  Launcher launcher;
  LauncherContext& ctx = launcher.context;
};

TEST_F(GameLaunch, TheGameGetsEveryValueAsOneArgumentInItsOwnFolder) {
  PutClient(kScriptStandIn);
  WriteFile(game_ / "disabled-old.pck", "");  // near misses of a set-aside pack
  WriteFile(game_ / "_disabled-old.pck.bak", "");
  const struct {
    std::string login, character;
    bool setAside;
    Args args;
  } cases[] = {
      {"demo", "Арина", false, {"startbypatcher", "user:demo", "pwd:" + kPassword, "role:Арина"}},
      {"demo", "", true, {"startbypatcher", "sepfile", "user:demo", "pwd:" + kPassword}},
      {"a\"b", "x\\\\", true, {"startbypatcher", "sepfile", "user:a\"b", "pwd:" + kHostile, "role:x\\\\"}},
      {"не сохранён", "", true, {"startbypatcher", "sepfile", "user:не сохранён"}},
      {"", "Ёж \"в\" тумане", true, {"startbypatcher", "sepfile", "role:Ёж \"в\" тумане"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.login + " / " + c.character);
    if (c.setAside) WriteFile(game_ / "_DISABLED-old.Pck", "");
    EXPECT_EQ(Launch(c.login, c.character), Args{kStarted});
    const Args record = Record();
    ASSERT_GE(record.size(), 3u) << "the stand-in did not run";
    EXPECT_EQ(record[0], fs::canonical(game_).string());
    EXPECT_EQ(Args(record.begin() + 3, record.end()), c.args);
    const std::string log = Log();
    EXPECT_NE(log.find("запуск игры: логин=" + c.login + " персонаж=" +
                       (c.character.empty() ? "(не выбран)" : c.character) + "\r\nклиент запущен, pid=" + record[1] +
                       "\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("добавляю sepfile") != std::string::npos, c.setAside) << log;
    EXPECT_EQ(log.find("Секрет"), std::string::npos) << log;
  }
}

TEST_F(GameLaunch, WhatCannotStartIsReportedWithoutThePassword) {
  fs::rename(launcher_ / "data" / "install.cfg", root_.path() / "install.cfg");
  EXPECT_EQ(Launch("demo", "Арина"), Args{test::Progress("Не найден ElementClient.exe", 0, false)});
  EXPECT_NE(Log().find("клиент не найден"), std::string::npos);
  fs::rename(root_.path() / "install.cfg", launcher_ / "data" / "install.cfg");

  // Control characters from the page never reach the game.
  PutClient(kScriptStandIn);
  EXPECT_EQ(Launch("demo", "Ар\nина"), Args{kFailed});
  EXPECT_EQ(Launch("de\x01mo", ""), Args{kFailed});
  EXPECT_NE(Log().find("запуск игры отклонён"), std::string::npos);

  // A file the system will not start; the log keeps the line, password masked.
  const std::string exe = (game_ / "ElementClient.exe").string();
  PutClient(kScriptStandIn, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(Launch("demo", "Арина"), Args{kFailed});
  const std::string log = Log();
  EXPECT_NE(log.find("CreateProcess не удался, код 13; строка: \"" + exe +
                     "\" startbypatcher user:\"demo\" pwd:\"***\" role:\"Арина\"\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Секрет"), std::string::npos) << log;

  // A Windows program with no wine to run it: the player learns what to
  // install, and nothing is tried.
  PutClient("MZ\x90", fs::perms::owner_read | fs::perms::owner_write);
  const std::string path = std::getenv("PATH");
  setenv("PATH", (root_.path() / "no-wine").c_str(), 1);
  EXPECT_EQ(Launch("", ""),
            Args{test::Progress("Не удалось запустить игру: нужен Wine. Установите пакет wine (sudo apt install wine)",
                                0, true)});
  setenv("PATH", path.c_str(), 1);
  EXPECT_NE(Log().find("нет wine"), std::string::npos);
  EXPECT_FALSE(fs::exists(launcher_ / "wine")) << "a prefix was made without wine";

  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(fs::exists(game_ / "record")) << "nothing refused may have started";
}

TEST_F(GameLaunch, AGameThatEndsIsReapedWhileTheLauncherRuns) {
  PutClient(kScriptStandIn);
  auto run = std::async(std::launch::async, [this] { return Launch("demo", "", ":sleep 3000\n"); });
  const Args record = Record();
  ASSERT_GE(record.size(), 3u);
  bool reaped = false;  // a zombie keeps its /proc entry
  for (int i = 0; i < 100 && !(reaped = !fs::exists("/proc/" + record[1])); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(fs::exists("/proc/" + record[2])) << "the launcher was to run on";
  EXPECT_TRUE(reaped) << "the ended game stays a zombie";
  EXPECT_EQ(run.get(), Args{kStarted});
}

TEST_F(GameLaunch, TheDemoClientRunThroughWineSeesTheBuiltLine) {
  // Setup installs Wine; without it this case would prove nothing, so it fails.
  ASSERT_FALSE(FindOnPath("wine").empty()) << "no wine on PATH (tools/setup.sh installs it)";
  const fs::path site = root_.path() / "site";
  ASSERT_TRUE(test::MakeDemoSite(site, {"--size-mib", "1", "--files", "8"}));
  fs::copy_file(site / "client" / "ElementClient.exe", game_ / "ElementClient.exe");
  fs::permissions(game_ / "ElementClient.exe", fs::perms::owner_read | fs::perms::owner_write);  // as downloaded
  WriteFile(game_ / "_disabled-1.pck", "");
  // The game's prefix is the launcher's own, whatever the player's shell
  // names, and the player's home never gets Wine's default one.
  WineServerStop stop{launcher_ / "wine"};
  const fs::path home = root_.path() / "home";
  fs::create_directories(home);
  const std::string realHome = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  setenv("HOME", home.c_str(), 1);
  setenv("WINEPREFIX", (root_.path() / "players-prefix").c_str(), 1);
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  // A password of this test alone: other tests' stand-ins may show theirs.
  const std::string secret = std::to_string(getpid()) + "-" + kHostile;
  InstallHostSlots(ctx, test::DataOnly((launcher_ / "data").string()));
  ASSERT_TRUE(SaveAccounts(launcher.accounts, {{"demo", kPassword}, {"a\"b", secret}}));
  InstallHostSlots(ctx, {});

  // Closed while Wine prepares the prefix, the launcher ends the preparation
  // at once, with every process it started there, and leaves the prefix to
  // be made again.
  const std::string prepare = test::Progress("Первый запуск: готовлю Wine для игры, это займёт около минуты…", 0, false);
  const auto closing = std::chrono::steady_clock::now();
  const auto closed = test::RunProgram(exe_, test::ScriptLine("game.launch\n{\"login\":\"demo\"}") + ":sleep 3000\n");
  const auto took = std::chrono::steady_clock::now() - closing;
  EXPECT_EQ(closed.exitCode, 0) << closed.err;
  EXPECT_EQ(closed.lines(), Args{prepare});
  EXPECT_LT(took, 8s) << "the close waited for the preparation";
  EXPECT_NE(Log().find("подготовка префикса Wine прервана"), std::string::npos) << Log();
  EXPECT_FALSE(fs::exists(launcher_ / "wine" / ".tarn-prepared"));
  const std::string inPrefix = "WINEPREFIX=" + (launcher_ / "wine").string() + '\0';
  std::vector<std::string> left;
  for (int i = 0; i < 20; ++i, std::this_thread::sleep_for(100ms)) {
    left.clear();
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string environ = ReadFile(entry.path() / "environ");  // empty for other users' processes
      if (environ.find(inPrefix) != std::string::npos) left.push_back(ReadFile(entry.path() / "cmdline"));
    }
    if (left.empty()) break;
  }
  EXPECT_TRUE(left.empty()) << left.size() << " processes of the game's prefix run on, as " << left[0];

  // The first start makes the prefix and says so; a second one goes straight.
  // While the game runs, no process of this user shows its password, the
  // game's own argument list included: it got its line through a pipe.
  WriteFile(game_ / "launch-hold", "");
  EXPECT_EQ(Launch("a\"b", "Ёж \\"), (Args{prepare, kStarted}));
  const auto record = WaitForFile(game_ / "launch-record.txt", 90s, "\ncommand line: ");
  std::vector<std::string> shown;
  std::string game;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::string cmdline = ReadFile(entry.path() / "cmdline");
    if (cmdline.find(secret) != std::string::npos) shown.push_back(cmdline);
    if (cmdline.find(WinePath(game_ / "ElementClient.exe")) == std::string::npos) continue;
    game = cmdline.substr(0, cmdline.find('\0'));
    // A window has no use for the launcher's streams or the starter's pipe.
    for (const char* stream : {"0", "1", "2"})
      EXPECT_EQ(fs::read_symlink(entry.path() / "fd" / stream), "/dev/null") << stream;
  }
  fs::remove(game_ / "launch-hold");
  EXPECT_TRUE(shown.empty()) << shown.size() << " processes show the password, as " << shown[0];
  EXPECT_EQ(game, WinePath(game_ / "ElementClient.exe")) << "the game was not seen running, or shows more";
  setenv("HOME", realHome.c_str(), 1);
  unsetenv("WINEPREFIX");
  EXPECT_TRUE(fs::exists(launcher_ / "wine" / "drive_c" / "windows"));
  EXPECT_FALSE(fs::exists(home / ".wine"));
  EXPECT_FALSE(fs::exists(root_.path() / "players-prefix"));
  ASSERT_TRUE(record) << "the stand-in did not run under wine";
  // The game reads the very line Wine built for it from an argument list.
  EXPECT_EQ(*record, "folder: " + WinePath(game_) + "\ncommand line: \"" + WinePath(game_ / "ElementClient.exe") +
                         R"(" startbypatcher sepfile user:a\"b "pwd:)" + std::to_string(getpid()) +
                         R"(-p\ \"q\\" "role:Ёж \\")" + "\n");
  const std::string log = Log();
  EXPECT_NE(log.find("клиент запущен, pid="), std::string::npos) << log;

  fs::remove(game_ / "launch-record.txt");
  EXPECT_EQ(Launch("", ""), Args{kStarted});
  EXPECT_TRUE(WaitForFile(game_ / "launch-record.txt", 60s, "\ncommand line: "));

  // The starter itself starts nothing from a line cut short (no final NUL),
  // empty, or not led by the quoted program; a whole line starts the game
  // and the report names its process.
  const fs::path starter = launcher_ / "tarn-game-starter.exe", input = root_.path() / "input";
  const auto runStarter = [&](const std::string& bytes) {
    fs::remove(game_ / "launch-record.txt");
    WriteFile(input, bytes);
    const std::string command = "cd '" + game_.string() + "' && WINEPREFIX='" + (launcher_ / "wine").string() +
                                "' WINEDEBUG=-all wine '" + starter.string() + "' <'" + input.string() + "' >'" +
                                (root_.path() / "report").string() + "' 2>/dev/null";
    [[maybe_unused]] const int rc = std::system(command.c_str());
    return ReadFile(root_.path() / "report");
  };
  const std::string quoted = "\"" + (game_ / "ElementClient.exe").string() + "\"";
  for (const std::string& bad : {quoted + " pwd:x", std::string(), std::string(1, '\0'),
                                 (game_ / "ElementClient.exe").string() + std::string(" pwd:x\0", 7)}) {
    EXPECT_EQ(runStarter(bad), "13 0\n") << bad;
    EXPECT_FALSE(fs::exists(game_ / "launch-record.txt")) << bad;
  }
  const std::string report = runStarter(quoted + std::string(" \"pwd:\\\" x\"\0", 12));
  EXPECT_TRUE(report.size() > 3 && report.rfind("0 ", 0) == 0 && report.back() == '\n') << report;
  const auto direct = WaitForFile(game_ / "launch-record.txt", 30s, "\ncommand line: ");
  ASSERT_TRUE(direct);
  EXPECT_NE(direct->find("\ncommand line: \"" + WinePath(game_ / "ElementClient.exe") + "\" \"pwd:\\\" x\"\n"),
            std::string::npos)
      << *direct;

  // What Wine cannot start, and a missing starter, are told in the log
  // with the system's code, never with the password.
  const std::string exe = (game_ / "ElementClient.exe").string();
  std::string foreign = ReadFile(exe);  // the stand-in, made for a machine Wine does not know
  ASSERT_GT(foreign.size(), 0x200u);
  const size_t header = static_cast<unsigned char>(foreign[0x3c]) | static_cast<unsigned char>(foreign[0x3d]) << 8;
  ASSERT_EQ(foreign.substr(header, 4), std::string("PE\0\0", 4));
  foreign[header + 4] = 0x34, foreign[header + 5] = 0x12;
  PutClient(foreign, fs::perms::owner_read | fs::perms::owner_write);
  // A line longer than Windows takes is refused by the starter, or before
  // it when the pipe could not hold it, and nothing waits on the pipe.
  const struct {
    std::string character, code;
  } refusals[] = {{"", "193"}, {Long(34000), "206"}, {Long(49200), "7"}, {"", "2"}};
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.code);
    if (r.code == "2") fs::remove(launcher_ / "tarn-game-starter.exe");
    EXPECT_EQ(Launch("a\"b", r.character), Args{kFailed});
    const std::string failed = Log();
    EXPECT_NE(failed.find("CreateProcess не удался, код " + r.code + "; строка: \"" + exe +
                          R"(" startbypatcher sepfile user:"a\"b" pwd:"***")" +
                          (r.character.empty() ? "\r\n" : " role:\"яя")),  // the log cuts a long line
              std::string::npos)
        << failed.substr(0, 2000);
    EXPECT_EQ(failed.find(kHostile), std::string::npos) << failed.substr(0, 2000);
  }
}

}  // namespace
}  // namespace tarn

// "game.launch" end to end: the headless launcher in a folder of its own
// starts the client its install record names. Stand-ins write down how they
// were started: a shell script (working folder, its pid and its parent's,
// every argument) and the demo's Windows program run through wine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/host_slots.h"
#include "bridge/text.h"
#include "launch/game.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "service/account_store.h"
#include "support/launcher.h"
#include "support/run_program.h"
#include "support/service_fixture.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Args = std::vector<std::string>;
using test::ReadFile;
using test::WriteFile;

const std::string kStarted = test::Progress("Игра запущена", 100, true);
const std::string kFailed = test::Progress("Не удалось запустить игру", 0, true);
const std::string kNotFound = test::Progress("Не найден ElementClient.exe", 0, false);
// Stored passwords; the first is looked for in launcher.log.
const std::string kPassword = "Секрет-42 \"x\"";
const std::string kHostilePassword = "p\\ \"q\\";

// Writes its record under another name first, so a reader never sees half.
constexpr char kScriptStandIn[] =
    "#!/bin/sh\n"
    "dir=$(dirname \"$0\")\n"
    "printf '%s\\0' \"$(pwd -P)\" \"$$\" \"$PPID\" \"$@\" > \"$dir/record.tmp\"\n"
    "mv \"$dir/record.tmp\" \"$dir/record\"\n";

struct Record {
  std::string folder;
  std::string pid;
  std::string parent;
  Args args;
};

std::optional<std::string> WaitForFile(const fs::path& file, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (fs::exists(file)) return ReadFile(file);
    std::this_thread::sleep_for(20ms);
  }
  return std::nullopt;
}

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "";
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    const std::string candidate = std::string(rest.substr(0, colon)) + "/" + name;
    rest = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// A wine prefix inside the test's folder, used by every wine the launcher
// starts, and its server stopped however the test ends.
class WineSession {
 public:
  explicit WineSession(const fs::path& prefix) : prefix_(prefix) {
    setenv("WINEPREFIX", prefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);  // no installer dialogs
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
  }
  ~WineSession() {
    std::string server = FindOnPath("wineserver");
    if (server.empty()) server = "/usr/lib/wine/wineserver";
    const std::string env = "WINEPREFIX='" + prefix_.string() + "' ";
    [[maybe_unused]] const int rc = std::system((env + server + " -k 2>/dev/null; " + env + server + " -w").c_str());
    unsetenv("WINEPREFIX");
  }
  WineSession(const WineSession&) = delete;
  WineSession& operator=(const WineSession&) = delete;

 private:
  fs::path prefix_;
};

// The folder as wine shows it to a Windows program.
std::string WinePath(const fs::path& path) {
  std::string text = "Z:" + path.string();
  for (char& c : text)
    if (c == '/') c = '\\';
  return text;
}

class GameLaunch : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_DATA_HOME", (root_.path() / "xdg").c_str(), 1);
    fs::create_directories(launcher_ / "data");
    fs::create_directories(game_);
    fs::copy_file(TARN_HEADLESS, exe_);
    WriteInstallRecord(true);
    InstallHostSlots(test::DataOnly((launcher_ / "data").string()));
    ASSERT_TRUE(SaveAccounts({{"demo", kPassword}, {"a\"b", kHostilePassword}}));
    InstallHostSlots({});
  }
  void WriteInstallRecord(bool present) {
    if (present) {
      WriteFile(launcher_ / "data" / "install.cfg", "path=" + game_.string() + "\r\nstate=готово\r\n");
    } else {
      fs::remove(launcher_ / "data" / "install.cfg");
    }
  }
  void PutClient(const std::string& bytes, fs::perms mode = fs::perms::owner_all) {
    WriteFile(game_ / "ElementClient.exe", bytes);
    fs::permissions(game_ / "ElementClient.exe", mode);
  }
  std::string Script(const std::string& login, const std::string& character) {
    return test::ScriptLine("game.launch\n{\"login\":\"" + JsonEscape(login) + "\",\"character\":\"" +
                            JsonEscape(character) + "\"}") +
           ":wait\n";
  }
  // One launcher run with one "game.launch"; its Events.
  Args Launch(const std::string& login, const std::string& character) {
    fs::remove(game_ / "record");
    const auto run = test::RunProgram(exe_, Script(login, character));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return run.lines();
  }
  std::optional<Record> WaitForRecord() {
    const auto bytes = WaitForFile(game_ / "record", 10s);
    if (!bytes) return std::nullopt;
    Args parts;
    for (size_t start = 0, end; (end = bytes->find('\0', start)) != std::string::npos; start = end + 1)
      parts.push_back(bytes->substr(start, end - start));
    if (parts.size() < 3) return std::nullopt;
    return Record{parts[0], parts[1], parts[2], Args(parts.begin() + 3, parts.end())};
  }
  std::string Log() { return WideToUtf8(test::LogUnits(ReadFile(launcher_ / "launcher.log"))); }
  // The arguments the built line gives by the Windows rules, without the
  // program name.
  Args BuiltArgs(bool sepfile, const std::string& login, const std::string& password, const std::string& character) {
    const std::string dir = game_.string();
    const Args all = SplitCommandLine(GameCommandLine({dir, sepfile, login, password, character}));
    return all.empty() ? Args{} : Args(all.begin() + 1, all.end());
  }

  test::TempDir root_;
  fs::path launcher_ = root_.path() / "launcher";
  fs::path exe_ = launcher_ / "tarn-headless";
  fs::path game_ = root_.path() / "Игры ТАРН" / "client";
};

TEST_F(GameLaunch, TheGameGetsEveryValueAsOneArgumentInItsOwnFolder) {
  PutClient(kScriptStandIn);
  // Near misses of a set-aside pack add nothing.
  WriteFile(game_ / "disabled-old.pck", "");
  WriteFile(game_ / "_disabled-old.pck.bak", "");
  const struct {
    std::string login, character;
    bool setAside;
    Args args;
  } cases[] = {
      {"demo", "Арина", false, {"startbypatcher", "user:demo", "pwd:" + kPassword, "role:Арина"}},
      {"demo", "", true, {"startbypatcher", "sepfile", "user:demo", "pwd:" + kPassword}},
      {"a\"b", "x\\\\", true, {"startbypatcher", "sepfile", "user:a\"b", "pwd:" + kHostilePassword, "role:x\\\\"}},
      {"не сохранён", "", true, {"startbypatcher", "sepfile", "user:не сохранён"}},
      {"", "Ёж \"в\" тумане", true, {"startbypatcher", "sepfile", "role:Ёж \"в\" тумане"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.login + " / " + c.character);
    if (c.setAside) WriteFile(game_ / "_DISABLED-old.Pck", "");
    EXPECT_EQ(Launch(c.login, c.character), Args{kStarted});
    const auto record = WaitForRecord();
    ASSERT_TRUE(record) << "the stand-in did not run";
    EXPECT_EQ(record->args, c.args);
    EXPECT_EQ(record->args,
              BuiltArgs(c.setAside, c.login, c.login == "demo" ? kPassword : c.login == "a\"b" ? kHostilePassword : "",
                        c.character));
    EXPECT_EQ(record->folder, fs::canonical(game_).string());
    const std::string log = Log();
    EXPECT_NE(log.find("запуск игры: логин=" + c.login + " персонаж=" + (c.character.empty() ? "(не выбран)" : c.character)),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("клиент запущен, pid=" + record->pid + "\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("добавляю sepfile") != std::string::npos, c.setAside) << log;
    EXPECT_EQ(log.find("Секрет"), std::string::npos) << log;
  }
}

TEST_F(GameLaunch, WhatCannotStartIsReportedWithoutThePassword) {
  // No client anywhere.
  WriteInstallRecord(false);
  EXPECT_EQ(Launch("demo", "Арина"), Args{kNotFound});
  EXPECT_NE(Log().find("клиент не найден"), std::string::npos);
  WriteInstallRecord(true);

  // Control characters from the page never reach the game.
  PutClient(kScriptStandIn);
  EXPECT_EQ(Launch("demo", "Ар\nина"), Args{kFailed});
  EXPECT_EQ(Launch("de\x01mo", ""), Args{kFailed});
  EXPECT_NE(Log().find("запуск игры отклонён"), std::string::npos);

  // A file the system refuses to start; the log keeps the line but masks
  // the password.
  PutClient(kScriptStandIn, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(Launch("demo", "Арина"), Args{kFailed});
  const std::string exe = (game_ / "ElementClient.exe").string();
  std::string log = Log();
  EXPECT_NE(log.find("CreateProcess не удался, код 13; строка: \"" + exe +
                     "\" startbypatcher user:\"demo\" pwd:\"***\" role:\"Арина\"\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Секрет"), std::string::npos) << log;

  // A Windows program with no wine to run it.
  PutClient("MZ\x90\x00", fs::perms::owner_read | fs::perms::owner_write);
  const std::string path = std::getenv("PATH");
  setenv("PATH", (root_.path() / "no-wine").c_str(), 1);
  const Args events = Launch("", "");
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(events, Args{kFailed});
  EXPECT_NE(Log().find("CreateProcess не удался, код 2; строка: \"" + exe + "\" startbypatcher\r\n"), std::string::npos);

  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(fs::exists(game_ / "record")) << "nothing refused may have started";
}

TEST_F(GameLaunch, AGameThatEndsIsReapedWhileTheLauncherRuns) {
  PutClient(kScriptStandIn);
  auto launcher = std::async(std::launch::async, [this] {
    return test::RunProgram(exe_, Script("demo", "") + ":sleep 3000\n");
  });
  const auto record = WaitForRecord();
  ASSERT_TRUE(record);
  const fs::path game = "/proc/" + record->pid;
  const fs::path parent = "/proc/" + record->parent;
  bool reaped = false;
  for (int i = 0; i < 100 && !reaped; ++i) {
    reaped = !fs::exists(game);  // a zombie keeps its /proc entry
    if (!reaped) std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(fs::exists(parent)) << "the launcher was to run on";
  EXPECT_TRUE(reaped) << "the ended game stays a zombie";
  EXPECT_EQ(launcher.get().exitCode, 0);
}

TEST_F(GameLaunch, TheDemoClientRunThroughWineSeesTheBuiltLine) {
  if (FindOnPath("wine").empty()) GTEST_SKIP() << "no wine on PATH (tools/setup.sh installs it)";
  const fs::path site = root_.path() / "site";
  ASSERT_TRUE(test::MakeDemoSite(site, {"--size-mib", "1", "--files", "8"}));
  fs::copy_file(site / "client" / "ElementClient.exe", game_ / "ElementClient.exe");
  fs::permissions(game_ / "ElementClient.exe", fs::perms::owner_read | fs::perms::owner_write);  // as downloaded
  WriteFile(game_ / "_disabled-1.pck", "");
  WineSession wine(root_.path() / "wine");

  EXPECT_EQ(Launch("a\"b", "Ёж \\"), Args{kStarted});
  // A fresh prefix is made on the first start; that takes a while.
  const auto record = WaitForFile(game_ / "launch-record.txt", 90s);
  ASSERT_TRUE(record) << "the stand-in did not run under wine";
  const std::string folderTag = "folder: ", lineTag = "\ncommand line: ";
  const size_t line = record->find(lineTag);
  ASSERT_TRUE(record->rfind(folderTag, 0) == 0 && line != std::string::npos && record->back() == '\n') << *record;
  EXPECT_EQ(record->substr(folderTag.size(), line - folderTag.size()), WinePath(game_));
  const Args seen = SplitCommandLine(record->substr(line + lineTag.size(), record->size() - line - lineTag.size() - 1));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0], WinePath(game_ / "ElementClient.exe"));
  EXPECT_EQ(Args(seen.begin() + 1, seen.end()), BuiltArgs(true, "a\"b", kHostilePassword, "Ёж \\")) << *record;
}

}  // namespace
}  // namespace tarn

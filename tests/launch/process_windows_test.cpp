// The Windows side of starting the game: the portable split agrees with
// the system's own, and the game gets the command line exactly as built, in
// its own folder.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "bridge/text.h"
#include "client/install_record.h"
#include "launch/game.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "support/launcher.h"
#include "support/temp_dir.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Args = std::vector<std::string>;

Args SystemSplit(const std::string& line) {
  const std::u16string wide = Utf8ToWide(line);
  const std::wstring text(wide.begin(), wide.end());
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(text.c_str(), &count);
  Args args;
  for (int i = 0; argv != nullptr && i < count; ++i) {
    const std::wstring arg = argv[i];
    args.push_back(WideToUtf8(std::u16string(arg.begin(), arg.end())));
  }
  LocalFree(argv);
  return args;
}

TEST(SplitCommandLineOnWindows, AgreesWithTheSystem) {
  std::vector<std::string> lines = {
      R"("C:\a b\x.exe" one  two)", "x.exe\ta",        R"("C:\dir\"rest x)", R"("")",          "p   ",
      R"(p "a b" c)",              R"(p a\\\"b)",      R"(p a\\"b c")",      R"(p a\b a\\ \)", R"(p "" x)",
      R"(p "a""b" c)",             R"(p """" x)",      R"(p """ x)",         "p \"open end",   R"(p a"b"c"d e)",
      R"(p \\\\"a b\\" c)",        R"(p "a\\\\"b" c)", R"(p """""" x)",      "p \"\t\" x",
  };
  for (const std::string v : {"\"", "\\", "\\\"", "a\"b", "\"\" x", "a\\", "Ёж\\\"", "\"\"\"", "x y\\\\"})
    lines.push_back(GameCommandLine({"C:\\Игры\\ТАРН", true, v, v, v}));
  for (const std::string& line : lines) EXPECT_EQ(SplitCommandLine(line), SystemSplit(line)) << line;
}

class WindowsLaunch : public ::testing::Test {
 protected:
  void SetUp() override {
    HostSlots slots = test::DataOnly(test::PathUtf8(dir_.path() / "data"));
    slots.post = [this](const std::string& event) { events_.push_back(event); };
    InstallHostSlots(ctx, std::move(slots));
    fs::create_directories(game_);
    SetConfigValue(launcher.client, "path", test::PathUtf8(game_));
    SetConfigValue(launcher.client, "state", "готово");
  }
  void TearDown() override { InstallHostSlots(ctx, {}); }
  std::optional<std::string> WaitForRecord() {
    for (int i = 0; i < 1500; ++i) {
      // Whole once the command line and its line feed are in.
      if (fs::exists(game_ / "launch-record.txt")) {
        std::string record = test::ReadFile(game_ / "launch-record.txt");
        if (record.find("\ncommand line: ") != std::string::npos && record.back() == '\n') return record;
      }
      std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
  }
  test::TempDir dir_;
  fs::path game_ = dir_.path() / test::Utf8Path("Игры ТАРН") / "client";
  std::vector<std::string> events_;
  Launcher launcher;
  LauncherContext& ctx = launcher.context;
};

TEST_F(WindowsLaunch, TheGameSeesTheLineAsBuiltAndAFailureLogsNoPassword) {
  fs::copy_file(TARN_RECORDER_EXE, game_ / "ElementClient.exe");
  test::WriteFile(game_ / "_DISABLED-old.Pck", "");
  const std::string folder = test::PathUtf8(game_);
  LaunchGame(launcher.launch, "a\"b", "p\\ \"q\\", "Ёж \\");
  EXPECT_EQ(events_, (std::vector<std::string>{test::Progress("Игра запущена", 100, true)}));
  const auto record = WaitForRecord();
  ASSERT_TRUE(record) << "the stand-in did not run";
  EXPECT_EQ(*record, "folder: " + folder + "\ncommand line: " +
                         GameCommandLine({folder, true, "a\"b", "p\\ \"q\\", "Ёж \\"}) + "\n");

  // Not a program: the system refuses it.
  test::WriteFile(game_ / "ElementClient.exe", "not a program");
  events_.clear();
  LaunchGame(launcher.launch, "demo", "Секрет", "");
  EXPECT_EQ(events_, (std::vector<std::string>{test::Progress("Не удалось запустить игру", 0, true)}));
  const std::u16string log = test::LogUnits(test::ReadFile(test::Utf8Path(LogPath())));
  const std::string text = WideToUtf8(log);
  EXPECT_NE(text.find("CreateProcess не удался, код 193; строка: \"" + JoinPath(folder, "ElementClient.exe") +
                      "\" startbypatcher sepfile user:\"demo\" pwd:\"***\"\r\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("Секрет"), std::string::npos);
}

}  // namespace
}  // namespace tarn

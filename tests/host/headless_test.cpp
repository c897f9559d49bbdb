// The headless host's contract, seen from outside through a pipe: the same
// core as the window host, driven by a script.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "bridge/text.h"
#include "service/news.h"
#include "support/launcher.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::ScriptLine;

// A copy of the host in a folder of its own, so that its launcher.log and
// data folder belong to this test alone.
class Headless : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = dir_.path() / fs::path(TARN_HEADLESS).filename();
    fs::copy_file(TARN_HEADLESS, exe_);
  }
  test::ProgramRun Run(const std::string& script) { return test::RunProgram(exe_, script); }
  std::u16string Log() const { return test::LogUnits(test::ReadFile(dir_.path() / "launcher.log")); }

  test::TempDir dir_;
  fs::path exe_;
};

std::string OpenLine(std::string_view target, std::string_view params = {}) {
  return R"({"host":{"open":")" + JsonEscape(target) + R"(","params":")" + JsonEscape(params) + "\"}}";
}

TEST_F(Headless, WindowCommandsLinksAndUnknownCommands) {
  const auto run = Run(ScriptLine("window.drag") + ScriptLine("window.minimize") +
                       ScriptLine("link.open\n{\"name\":\"site\"}") + ScriptLine("link.open\n{\"name\":\"SITE\"}") +
                       ScriptLine("no.such.command") + ScriptLine("ui.ready\r") +
                       // The payload reaches Dispatch with its escapes decoded.
                       ScriptLine("link.open\n{\"name\":\"f\\u006frum\"}"));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.lines(), (std::vector<std::string>{
                             R"({"host":{"window":"drag"}})",
                             R"({"host":{"window":"minimize"}})",
                             OpenLine(LinkTarget("site")),
                             OpenLine(LinkTarget("forum")),
                         }));
}

TEST_F(Headless, ScriptLinesThatAreNotCommandsAreReportedAndSkipped) {
  const auto run = Run("link.open\n:bogus\n\n" + ScriptLine("link.open\n{\"name\":\"tg\"}") + ":sleep 1\n:wait\n");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.lines(), std::vector<std::string>{OpenLine(LinkTarget("tg"))});
  EXPECT_NE(run.err.find("not a JSON string literal"), std::string::npos);
  EXPECT_NE(run.err.find("unknown directive"), std::string::npos);
}

TEST_F(Headless, OpenLogNamesTheLogBesideTheExecutable) {
  const auto run = Run(ScriptLine("open.log"));
  ASSERT_EQ(run.lines().size(), 1u);
  const std::string logPath = (dir_.path() / "launcher.log").string();
  // The log is opened by path; the exact viewer differs per desktop.
  EXPECT_NE(run.lines()[0].find(JsonEscape(dir_.path().filename().string())), std::string::npos) << run.lines()[0];
  EXPECT_NE(run.lines()[0].find("launcher.log"), std::string::npos);
}

TEST_F(Headless, StartsTheLogAfreshEachRunAndMakesItsDataFolder) {
  test::WriteFile(dir_.path() / "launcher.log", "old bytes of an earlier run");
  Run("");
  const std::u16string first = Log();
  EXPECT_EQ(first.find(u"old"), std::u16string::npos);
  ASSERT_GE(first.size(), 2u);
  EXPECT_EQ(first.substr(first.size() - 2), u"\r\n");
  Run("");
  EXPECT_EQ(Log(), first);  // one line again, not two
  EXPECT_TRUE(fs::is_directory(dir_.path() / "data"));
}

TEST_F(Headless, WindowCloseEndsTheProgramAtOnce) {
  const auto run = Run(ScriptLine("window.close") + ScriptLine("link.open\n{\"name\":\"site\"}"));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.lines(), std::vector<std::string>{R"({"host":{"window":"close"}})"});
}

TEST_F(Headless, TaskCommandsWithoutWorkEndQuietly) {
  // Every task command of the table is accepted; until their subsystems
  // exist they post nothing, and the host still ends cleanly.
  std::string script;
  for (const char* c : {"ui.ready", "accounts.refresh", "open.clientdir", "account.add", "account.remove",
                        "cabinet.open", "game.launch", "client.verify", "client.update", "install.begin",
                        "install.resume", "install.pause", "install.stop", "install.folder"})
    script += ScriptLine(c);
  const auto run = Run(script + ":wait\n");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace tarn

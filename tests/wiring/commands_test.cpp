#include "wiring/commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "bridge/tasks.h"
#include "host/common/window_layout.h"
#include "platform/shell.h"
#include "support/service_launcher.h"
#include "support/temp_dir.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using V = std::vector<std::string>;

const fs::path kSource = TARN_SOURCE_DIR;

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Every command name the page sends: send('name', …) in any script under
// ui/. A send whose name is not a plain string literal cannot be checked,
// so it fails here rather than slip past.
std::set<std::string> PageSends(std::vector<std::string>& unreadable) {
  std::set<std::string> names;
  const std::regex literal(R"re(\bsend\(\s*(['"])([A-Za-z0-9_.\-]+)\1)re");
  const std::regex anySend(R"re(\bsend\(\s*([^\s)]?))re");
  for (const auto& entry : fs::recursive_directory_iterator(kSource / "ui")) {
    if (!entry.is_regular_file() || entry.path().extension() != ".js") continue;
    const std::string text = ReadAll(entry.path());
    for (auto it = std::sregex_iterator(text.begin(), text.end(), literal); it != std::sregex_iterator(); ++it)
      names.insert((*it)[2]);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), anySend); it != std::sregex_iterator(); ++it) {
      const size_t at = static_cast<size_t>(it->position());
      const size_t lineStart = text.rfind('\n', at) + 1;
      const std::string before = text.substr(lineStart, at - lineStart);
      // The definition of send itself is no send.
      if (before.find("function") != std::string::npos) continue;
      const std::string quote = (*it)[1];
      if (quote != "'" && quote != "\"")
        unreadable.push_back(entry.path().filename().string() + ": " + text.substr(at, 40));
    }
  }
  return names;
}

// The commands the operator's documents script tarn-headless with.
std::string DocumentedToolText() {
  std::string text;
  for (const auto& entry : fs::directory_iterator(kSource / "docs"))
    if (entry.path().extension() == ".md") text += ReadAll(entry.path());
  return text;
}

TEST(Commands, ThePageAndTheTableAgreeOnEveryName) {
  Launcher launcher;
  std::set<std::string> registered, onWindow;
  for (const Command& c : launcher.commands.commands) {
    EXPECT_TRUE(registered.insert(c.name).second) << c.name;
    EXPECT_TRUE(c.handler) << c.name;
    if (c.runsOn == RunsOn::Window) onWindow.insert(c.name);
  }
  // Only these touch neither the disk nor the network on the window thread
  // (what they start runs as a task); anything else there would freeze the
  // window on a slow disk or line.
  EXPECT_EQ(onWindow, (std::set<std::string>{"link.open", "open.log", "install.resume", "install.pause",
                                              "install.stop", "speed.limit", "client.pause", "client.resume",
                                              "client.stop",
                                              // Moving the client: its stop flag.
                                              "client.move.stop"}));
  std::vector<std::string> unreadable;
  const std::set<std::string> sent = PageSends(unreadable);
  EXPECT_EQ(unreadable, V{}) << "a page send the test cannot read";
  // Far fewer would mean the page's sends are not found at all.
  ASSERT_GE(sent.size(), 15u);

  const std::set<std::string> hosts(kWindowCommandNames.begin(), kWindowCommandNames.end());
  for (const std::string& name : hosts) EXPECT_NE(ParseWindowCommand(name), WindowCommand::Other) << name;
  for (const std::string& name : sent)
    EXPECT_TRUE(registered.count(name) || hosts.count(name)) << "the page sends " << name << ", which nothing serves";

  const std::string documented = DocumentedToolText();
  for (const std::string& name : registered) {
    EXPECT_FALSE(hosts.count(name)) << name << " is the host's";
    EXPECT_TRUE(sent.count(name) || documented.find('"' + name + '"') != std::string::npos)
        << name << " is registered, but neither the page nor a documented tool sends it";
  }
}

// A launcher whose host records what reaches the page and the desktop, with
// a data folder of its own and a service nobody answers.
class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallHostSlots(launcher_.context,
                     {.post = [this](const std::string& e) { Add(e); },
                      .open = [this](const std::string& t, const std::string& p) { Add("open|" + t + "|" + p); },
                      .pickFolder = {},
                      .dataFolder = data_.str(),
                      .job = [this](const JobSignal& s) { Add(JobText(s)); }},
                     ServiceEndpoint{.secure = false, .host = "127.0.0.1", .port = test::kNoServicePort});
  }
  void TearDown() override { WaitForTasks(launcher_.context.tasks); }

  static std::string JobText(const JobSignal& s) {
    return std::string(s.job == LongJob::Install ? "job|install|" : "job|update|") +
           (s.phase == JobPhase::Began ? "began" : "ended");
  }
  void Add(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  V Run(std::string_view command) {
    Dispatch(launcher_, command);
    WaitForTasks(launcher_.context.tasks);
    std::lock_guard lock(mutex_);
    return std::exchange(calls_, {});
  }

  std::mutex mutex_;
  V calls_;
  test::TempDir data_;
  Launcher launcher_;
};

TEST_F(CommandsTest, LinksAndTheLogOpenOnTheDesktop) {
  for (const auto& [key, target] : {std::pair{"site", "https://tarn.example/"},
                                    std::pair{"forum", "https://forum.tarn.example/"},
                                    std::pair{"tg", "https://t.me/tarn_example"},
                                    std::pair{"ds", "https://discord.gg/tarn-example"}})
    EXPECT_EQ(Run(std::string("link.open\n{\"name\":\"") + key + "\"}"), V{"open|" + std::string(target) + "|"});
  for (const char* unknown : {"link.open\n{\"name\":\"FORUM\"}", "link.open\n{\"name\":\"\"}", "link.open",
                              "link.open\n{\"name\" : \"site\"}"})
    EXPECT_EQ(Run(unknown), V{}) << unknown;
  const ShellTarget viewer = TextViewerFor(LogPath());
  EXPECT_EQ(Run("open.log"), V{"open|" + viewer.target + "|" + viewer.params});
  // No client anywhere: nothing to open.
  EXPECT_EQ(Run("open.clientdir"), V{});
}

TEST_F(CommandsTest, InstallFlagsFollowThePage) {
  InstallFlags& f = launcher_.installFlags;
  EXPECT_EQ(Run("install.pause"), V{});
  EXPECT_TRUE(f.pauseRequested.load());
  EXPECT_EQ(Run("install.stop"), V{});
  EXPECT_TRUE(f.stopRequested.load());
  EXPECT_FALSE(f.pauseRequested.load());
  // A running install is only woken: no second run starts.
  f.installRunning.exchange(true);
  f.pauseRequested.exchange(true);
  EXPECT_EQ(Run("install.resume"), V{});
  EXPECT_FALSE(f.pauseRequested.load());
  f.installRunning.exchange(false);
}

TEST_F(CommandsTest, UpdateFlagsFollowThePageOnlyWhileAnUpdateRuns) {
  UpdateFlags& f = launcher_.updateFlags;
  // With no update running a pause or stop would hold up the next one.
  for (const char* command : {"client.pause", "client.stop"}) EXPECT_EQ(Run(command), V{}) << command;
  EXPECT_FALSE(f.pauseRequested.load());
  EXPECT_FALSE(f.stopRequested.load());
  f.running.exchange(true);
  EXPECT_EQ(Run("client.pause"), V{});
  EXPECT_TRUE(f.pauseRequested.load());
  EXPECT_EQ(Run("client.resume"), V{});
  EXPECT_FALSE(f.pauseRequested.load());
  // A stop also wakes a paused update, so it can end.
  Run("client.pause");
  EXPECT_EQ(Run("client.stop"), V{});
  EXPECT_TRUE(f.stopRequested.load());
  EXPECT_FALSE(f.pauseRequested.load());
  f.running.exchange(false);
}

TEST_F(CommandsTest, TheSpeedLimitIsKeptOnlyWhenThePayloadGivesOne) {
  for (const char* kept : {"speed.limit", "speed.limit\n{}", "speed.limit\n{\"other\":\"1\"}"})
    EXPECT_EQ(Run(kept), V{}) << kept;
  EXPECT_EQ(Run("speed.limit\n{\"kibps\":\"512\"}"), V{R"({"limit":{"kibps":512}})"});
  EXPECT_EQ(DownloadLimit(launcher_.download), 512u * 1024);
  EXPECT_EQ(Run("speed.limit\n{\"kibps\": \"\"}"), V{R"({"limit":{"kibps":0}})"});
  EXPECT_EQ(Run("speed.limit\n{\"kibps\":\"abc\"}"), V{});
}

TEST_F(CommandsTest, TheInitialPushWithoutAClientShowsNewsThenTheInstallScreenThenTheLimit) {
  const V events = Run("ui.ready");
  ASSERT_GE(events.size(), 3u) << testing::PrintToString(events);
  EXPECT_EQ(events.front(), R"({"news":[]})");
  // The install screen asks the service for the list, which nobody serves.
  for (size_t i = 1; i + 1 < events.size(); ++i) EXPECT_EQ(events[i].rfind(R"({"install":)", 0), 0u) << events[i];
  EXPECT_NE(events[events.size() - 2].find("Не удалось связаться с сервером обновлений"), std::string::npos);
  EXPECT_EQ(events.back(), R"({"limit":{"kibps":0}})");
}

// The host hears a long job's begin before its first Event and its end
// after its last, before whatever the launcher does next: the host reads
// the job's outcome from what lies between.
TEST_F(CommandsTest, LongJobsAreFramedAroundTheirOwnEventsOnly) {
  for (const auto& [command, job, event] : {std::tuple{"install.resume", "install", R"({"install":)"},
                                            std::tuple{"install.begin", "install", R"({"install":)"},
                                            std::tuple{"client.update", "update", R"({"verify":)"}}) {
    const V calls = Run(command);
    const std::string began = std::string("job|") + job + "|began", ended = std::string("job|") + job + "|ended";
    ASSERT_GE(calls.size(), 3u) << testing::PrintToString(calls);
    EXPECT_EQ(calls.front(), began) << command;
    const auto end = std::find(calls.begin(), calls.end(), ended);
    ASSERT_NE(end, calls.end()) << testing::PrintToString(calls);
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const std::string& c) { return c.starts_with("job|"); }), 2)
        << testing::PrintToString(calls);
    // Only the job's own Events lie between (the update's rows and its
    // progress line).
    for (auto it = calls.begin() + 1; it != end; ++it)
      EXPECT_TRUE(it->starts_with(event) || it->starts_with(R"({"progress":)")) << command << ": " << *it;
  }
}

}  // namespace
}  // namespace tarn

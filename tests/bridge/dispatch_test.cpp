#include "bridge/dispatch.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/context.h"
#include "bridge/tasks.h"

namespace tarn {
namespace {

using V = std::vector<std::string>;

// A table whose handlers record what reached them and on which thread.
class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"client.verify", "account.add", "install.pause"}) {
      const RunsOn runsOn = std::string_view(name) == "install.pause" ? RunsOn::Window : RunsOn::AsTask;
      AddCommand(table_, name, runsOn, [this, name = std::string(name)](std::string_view payload) {
        const bool onWindow = std::this_thread::get_id() == window_;
        Add(name + (onWindow ? "@window" : "@task") + (payload.empty() ? "" : "|" + std::string(payload)));
      });
    }
  }
  void TearDown() override { WaitForTasks(ctx_.tasks); }

  void Add(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  // Dispatches and waits for the tasks the command started.
  V Run(std::string_view command) {
    Dispatch(ctx_, table_, command);
    WaitForTasks(ctx_.tasks);
    std::lock_guard lock(mutex_);
    return std::exchange(calls_, {});
  }

  std::mutex mutex_;
  V calls_;
  const std::thread::id window_ = std::this_thread::get_id();
  CommandTable table_;
  LauncherContext ctx_;
};

TEST(SplitCommand, SplitsAtTheFirstLineFeedOnly) {
  EXPECT_EQ(SplitCommand("ui.ready").name, "ui.ready");
  EXPECT_EQ(SplitCommand("ui.ready").payload, "");
  EXPECT_EQ(SplitCommand("ui.ready\n").name, "ui.ready");
  EXPECT_EQ(SplitCommand("ui.ready\n").payload, "");
  EXPECT_EQ(SplitCommand("a\nb\nc").name, "a");
  EXPECT_EQ(SplitCommand("a\nb\nc").payload, "b\nc");
  EXPECT_EQ(SplitCommand("\n{}").name, "");
  EXPECT_EQ(SplitCommand("a\r\n{}").name, "a\r");
}

TEST_F(DispatchTest, NamesMatchWholeExactlyAndCaseSensitively) {
  EXPECT_EQ(Run("client.verify"), V{"client.verify@task"});
  EXPECT_EQ(Run("client.verify\n"), V{"client.verify@task"});
  for (const char* other : {"client.verify\r", "Client.Verify", " client.verify", "client.verif", "client.verify.x", "",
                            "\nclient.verify", "window.close"})
    EXPECT_EQ(Run(other), V{}) << other;
}

TEST_F(DispatchTest, EachHandlerRunsWhereItsEntrySaysWithThePayload) {
  EXPECT_EQ(Run("install.pause"), V{"install.pause@window"});
  EXPECT_EQ(Run("account.add\n{\"login\":\"ivan\"}"), V{"account.add@task|{\"login\":\"ivan\"}"});
  // A window handler has run when Dispatch returns; nothing waits for a task.
  Dispatch(ctx_, table_, "install.pause\nx");
  {
    std::lock_guard lock(mutex_);
    EXPECT_EQ(calls_, V{"install.pause@window|x"});
  }
  // The first registration of a name keeps it.
  AddCommand(table_, "client.verify", RunsOn::Window, [this](std::string_view) { Add("second"); });
  EXPECT_EQ(table_.commands.size(), 3u);
  EXPECT_EQ(Run("client.verify"), (V{"install.pause@window|x", "client.verify@task"}));
}

}  // namespace
}  // namespace tarn

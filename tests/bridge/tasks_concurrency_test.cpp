#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "bridge/tasks.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

TEST(RunAsync, ReturnsBeforeTheTaskBegins) {
  LauncherContext ctx;
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  std::atomic<bool> ran{false};
  ASSERT_TRUE(RunAsync(ctx.tasks, [gate, &ran] {
    gate.wait();
    ran = true;
  }));
  EXPECT_FALSE(ran.load());  // the task is still held at the gate
  release.set_value();
  WaitForTasks(ctx.tasks);
  EXPECT_TRUE(ran.load());
}

TEST(RunAsync, TasksRunSideBySide) {
  // Two tasks that each wait for the other both see the other only when
  // both run at once: behind a queue or a pool of one, the first would wait
  // alone. The wait is bounded, so such a fault fails here in seconds
  // instead of hanging the program until the suite's time-out. What the
  // tasks touch is declared before the context, whose end waits for them.
  constexpr auto kBound = std::chrono::seconds(5);
  std::promise<void> a, b;
  std::shared_future<void> fa = a.get_future().share();
  std::shared_future<void> fb = b.get_future().share();
  std::atomic<bool> aSawB{false}, bSawA{false};
  LauncherContext ctx;
  ASSERT_TRUE(RunAsync(ctx.tasks, [&] {
    a.set_value();
    aSawB = fb.wait_for(kBound) == std::future_status::ready;
  }));
  ASSERT_TRUE(RunAsync(ctx.tasks, [&] {
    b.set_value();
    bSawA = fa.wait_for(kBound) == std::future_status::ready;
  }));
  EXPECT_TRUE(JoinTasks(ctx.tasks, 3 * kBound));
  EXPECT_TRUE(aSawB.load());
  EXPECT_TRUE(bSawA.load());
}

TEST(RunAsync, ExceptionsNeverLeaveATask) {
  LauncherContext ctx;
  std::atomic<int> after{0};
  RunAsync(ctx.tasks, [] { throw std::runtime_error("boom"); });
  RunAsync(ctx.tasks, [] { throw 42; });
  RunAsync(ctx.tasks, [&] { ++after; });
  WaitForTasks(ctx.tasks);
  EXPECT_EQ(after.load(), 1);
}

TEST(RunAsync, TaskOwnsWhatItCapturesAndReleasesIt) {
  LauncherContext ctx;
  auto owned = std::make_shared<int>(5);
  std::weak_ptr<int> watch = owned;
  RunAsync(ctx.tasks, [owned = std::move(owned)] { EXPECT_EQ(*owned, 5); });
  WaitForTasks(ctx.tasks);
  EXPECT_TRUE(watch.expired());
}

TEST(WaitForTasks, CoversTasksStartedByTasks) {
  LauncherContext ctx;
  std::atomic<int> done{0};
  RunAsync(ctx.tasks, [&] {
    for (int i = 0; i < 8; ++i)
      RunAsync(ctx.tasks, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        RunAsync(ctx.tasks, [&] { ++done; });
        ++done;
      });
  });
  WaitForTasks(ctx.tasks);
  EXPECT_EQ(done.load(), 16);
}

TEST(PostToUi, EventsOfEachThreadArriveInPostingOrder) {
  LauncherContext ctx;
  std::mutex mutex;
  std::vector<std::string> received;
  InstallHostSlots(ctx, {.post =
                             [&](const std::string& e) {
                               std::lock_guard lock(mutex);
                               received.push_back(e);
                             },
                         .open = {},
                         .pickFolder = {},
                         .dataFolder = {}});
  constexpr int kThreads = 8, kEach = 500;
  for (int t = 0; t < kThreads; ++t)
    RunAsync(ctx.tasks, [&ctx, t] {
      for (int i = 0; i < kEach; ++i)
        PostToUi(ctx, "{\"t\":" + std::to_string(t) + ",\"i\":" + std::to_string(i) + "}");
    });
  WaitForTasks(ctx.tasks);
  InstallHostSlots(ctx, {});

  ASSERT_EQ(received.size(), static_cast<size_t>(kThreads * kEach));
  std::map<int, int> next;
  for (const std::string& e : received) {
    const int t = std::stoi(e.substr(5));
    const int i = std::stoi(e.substr(e.find("\"i\":") + 4));
    EXPECT_EQ(i, next[t]) << "thread " << t;
    next[t] = i + 1;
  }
}

TEST(PostToUi, DroppedWithoutAHostAndSafeWhileTheHostArrives) {
  LauncherContext ctx;
  PostToUi(ctx, "{\"lost\":1}");  // nothing installed: silently dropped
  std::atomic<int> delivered{0};
  std::atomic<bool> stop{false};
  RunAsync(ctx.tasks, [&] {
    while (!stop) PostToUi(ctx, "{}");
  });
  InstallHostSlots(ctx,
                   {.post = [&](const std::string&) { ++delivered; }, .open = {}, .pickFolder = {}, .dataFolder = {}});
  while (delivered.load() == 0) std::this_thread::yield();
  stop = true;
  WaitForTasks(ctx.tasks);
  InstallHostSlots(ctx, {});
  EXPECT_GT(delivered.load(), 0);
}

// Closing stops and joins: tasks that poll the group's stop or the
// install's (as a download does), and a task they start while stopping,
// all end before CloseLauncher returns. Their last writes are plain, so
// without the join the thread sanitizer would see them race the reads
// below; a launcher destroyed without closing waits all the same.
TEST(CloseLauncher, StopsAndJoinsEveryRunningTask) {
  auto ctx = std::make_unique<Launcher>();
  constexpr int kTasks = 6;
  std::vector<int> flushed(kTasks + 1, 0);
  std::atomic<int> running{0};
  for (int t = 0; t < kTasks; ++t) {
    RunAsync(ctx->context.tasks, [&, t] {
      ++running;
      const std::atomic<bool>& stop = t % 2 ? ctx->context.tasks.stopping() : ctx->installFlags.stopRequested;
      while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (t == 0)
        RunAsync(ctx->context.tasks, [&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(30));
          flushed[kTasks] = 1;
        });
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a flush on its way out
      flushed[t] = 1;
    });
  }
  while (running.load() < kTasks) std::this_thread::yield();
  int pumped = 0;
  EXPECT_TRUE(CloseLauncher(*ctx, std::chrono::seconds(10), [&] { ++pumped; }));
  EXPECT_EQ(flushed, std::vector<int>(kTasks + 1, 1));
  EXPECT_GT(pumped, 0);

  int late = 0;
  RunAsync(ctx->context.tasks, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    late = 1;
  });
  ctx.reset();
  EXPECT_EQ(late, 1);
}

TEST(StopTasks, ATaskThatOverstaysIsReportedAndTheCallerKeepsPumping) {
  LauncherContext ctx;
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  RunAsync(ctx.tasks, [gate] { gate.wait(); });  // hears no stop
  std::atomic<int> pumped{0};
  const auto begun = std::chrono::steady_clock::now();
  EXPECT_FALSE(StopTasks(ctx, std::chrono::milliseconds(200), [&] { ++pumped; }));
  EXPECT_GE(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(200));
  EXPECT_GT(pumped.load(), 5);
  release.set_value();
  EXPECT_TRUE(JoinTasks(ctx.tasks, std::chrono::seconds(10)));
}

}  // namespace
}  // namespace tarn

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bridge/host_slots.h"
#include "bridge/tasks.h"

namespace tarn {
namespace {

TEST(RunAsync, ReturnsBeforeTheTaskBegins) {
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  std::atomic<bool> ran{false};
  ASSERT_TRUE(RunAsync([gate, &ran] {
    gate.wait();
    ran = true;
  }));
  EXPECT_FALSE(ran.load());  // the task is still held at the gate
  release.set_value();
  WaitForTasks();
  EXPECT_TRUE(ran.load());
}

TEST(RunAsync, TasksRunSideBySide) {
  // Two tasks that each wait for the other can only finish when both run at
  // once: a queue or a pool of one would hang here.
  std::promise<void> a, b;
  auto fa = a.get_future();
  auto fb = b.get_future();
  RunAsync([&] {
    a.set_value();
    fb.wait();
  });
  RunAsync([&] {
    b.set_value();
    fa.wait();
  });
  WaitForTasks();
}

TEST(RunAsync, ExceptionsNeverLeaveATask) {
  std::atomic<int> after{0};
  RunAsync([] { throw std::runtime_error("boom"); });
  RunAsync([] { throw 42; });
  RunAsync([&] { ++after; });
  WaitForTasks();
  EXPECT_EQ(after.load(), 1);
}

TEST(RunAsync, TaskOwnsWhatItCapturesAndReleasesIt) {
  auto owned = std::make_shared<int>(5);
  std::weak_ptr<int> watch = owned;
  RunAsync([owned = std::move(owned)] { EXPECT_EQ(*owned, 5); });
  WaitForTasks();
  EXPECT_TRUE(watch.expired());
}

TEST(WaitForTasks, CoversTasksStartedByTasks) {
  std::atomic<int> done{0};
  RunAsync([&] {
    for (int i = 0; i < 8; ++i)
      RunAsync([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        RunAsync([&] { ++done; });
        ++done;
      });
  });
  WaitForTasks();
  EXPECT_EQ(done.load(), 16);
}

TEST(PostToUi, EventsOfEachThreadArriveInPostingOrder) {
  std::mutex mutex;
  std::vector<std::string> received;
  InstallHostSlots({.post =
                        [&](const std::string& e) {
                          std::lock_guard lock(mutex);
                          received.push_back(e);
                        },
                    .open = {},
                    .pickFolder = {},
                    .dataFolder = {}});
  constexpr int kThreads = 8, kEach = 500;
  for (int t = 0; t < kThreads; ++t)
    RunAsync([t] {
      for (int i = 0; i < kEach; ++i)
        PostToUi("{\"t\":" + std::to_string(t) + ",\"i\":" + std::to_string(i) + "}");
    });
  WaitForTasks();
  InstallHostSlots({});

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
  PostToUi("{\"lost\":1}");  // nothing installed: silently dropped
  std::atomic<int> delivered{0};
  std::atomic<bool> stop{false};
  RunAsync([&] {
    while (!stop) PostToUi("{}");
  });
  InstallHostSlots({.post = [&](const std::string&) { ++delivered; }, .open = {}, .pickFolder = {}, .dataFolder = {}});
  while (delivered.load() == 0) std::this_thread::yield();
  stop = true;
  WaitForTasks();
  InstallHostSlots({});
  EXPECT_GT(delivered.load(), 0);
}

}  // namespace
}  // namespace tarn

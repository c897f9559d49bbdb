#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "bridge/parallel.h"

namespace tarn {
namespace {

// Work that finishes out of order (later indices sleep less) must still be
// handed over in order, each index once, after its own work, whatever the
// number of threads.
TEST(ForEachInParallel, HandsOverEveryIndexOnceInOrderAfterItsWork) {
  for (unsigned workers : {1u, 2u, 4u, 0u}) {
    for (size_t count : {size_t{0}, size_t{1}, size_t{7}, size_t{200}}) {
      std::vector<int> results(count, 0);
      std::vector<size_t> seen;
      std::set<std::thread::id> threads;
      std::mutex threadsLock;
      const std::thread::id caller = std::this_thread::get_id();
      ForEachInParallel(
          count,
          [&](size_t i) {
            if (count < 10) std::this_thread::sleep_for(std::chrono::milliseconds(5 * (count - i)));
            results[i] = static_cast<int>(i) * 3 + 1;
            std::lock_guard lock(threadsLock);
            threads.insert(std::this_thread::get_id());
          },
          [&](size_t i) {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            EXPECT_EQ(results[i], static_cast<int>(i) * 3 + 1) << "index " << i << " handed over before its work";
            seen.push_back(i);
          },
          workers);
      ASSERT_EQ(seen.size(), count) << workers << " workers";
      for (size_t i = 0; i < count; ++i) EXPECT_EQ(seen[i], i);
      EXPECT_EQ(threads.count(caller), 0u) << "the caller only collects";
      if (count == 7 && workers != 1) {  // slow enough work that one thread cannot take it all
        EXPECT_GE(threads.size(), 2u) << "work spread over threads";
      }
    }
  }
}

}  // namespace
}  // namespace tarn

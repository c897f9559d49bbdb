#include "bridge/parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/thread.h"

namespace tarn {
namespace {

struct Progress {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<char> finished;  // guarded by mutex
  std::atomic<size_t> next{0};
};

void WorkerLoop(Progress& p, size_t count, const std::function<void(size_t)>& work) {
  for (;;) {
    const size_t i = p.next.fetch_add(1);
    if (i >= count) break;
    work(i);
    {
      std::lock_guard lock(p.mutex);
      p.finished[i] = 1;
    }
    p.changed.notify_one();
  }
  // The hashing libraries keep per-thread state that would outlive the
  // thread otherwise.
  ReleaseThreadState();
}

}  // namespace

unsigned ParallelWorkers() { return std::max(2u, std::thread::hardware_concurrency()); }

void ForEachInParallel(size_t count, const std::function<void(size_t)>& work,
                       const std::function<void(size_t)>& inOrder, unsigned workers) {
  if (count == 0) return;
  Progress p;
  p.finished.assign(count, 0);
  const size_t wanted = std::min<size_t>(count, workers == 0 ? ParallelWorkers() : workers);

  std::vector<std::thread> threads;
  threads.reserve(wanted);
  for (size_t t = 0; t < wanted; ++t) {
    try {
      threads.emplace_back(WorkerLoop, std::ref(p), count, std::cref(work));
    } catch (const std::system_error&) {
      break;  // fewer threads than hoped; those started carry the load
    }
  }
  if (threads.empty()) {
    for (size_t i = 0; i < count; ++i) {
      work(i);
      inOrder(i);
    }
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    {
      std::unique_lock lock(p.mutex);
      p.changed.wait(lock, [&] { return p.finished[i] != 0; });
    }
    inOrder(i);
  }
  for (std::thread& t : threads) t.join();
}

Aside::Aside(std::function<void()> work) : work_(std::move(work)) {
  try {
    thread_ = std::thread([this] {
      work_();
      ReleaseThreadState();
    });
  } catch (const std::system_error&) {
    work_();
  }
}

Aside::~Aside() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace tarn

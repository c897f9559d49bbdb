#pragma once
// Work that can use every core while its results are still taken in order:
// hashing a client's files is bound by one core's MD5 per file, so files
// are hashed side by side, but the page must hear of them in list order.
#include <cstddef>
#include <functional>
#include <thread>

namespace tarn {

// The hardware's thread count, and never fewer than two.
unsigned ParallelWorkers();

// Calls work(i) for every i in [0, count) on up to `workers` threads of its
// own (ParallelWorkers() when 0), and afterwards inOrder(i) on the calling
// thread for every i in rising order, each as soon as work(i) and every
// inOrder before it are done. Returns once all are done. work runs on the
// helper threads and must not touch what inOrder touches except its own
// slot i; inOrder sees everything work(i) wrote. When no thread can be
// started, the calling thread does the work itself.
void ForEachInParallel(size_t count, const std::function<void(size_t)>& work,
                       const std::function<void(size_t)>& inOrder, unsigned workers = 0);

// Runs work on a thread of its own while the caller goes on, and waits for
// it when it goes out of scope. When no thread can be started, work runs at
// once on the calling thread.
class Aside {
 public:
  explicit Aside(std::function<void()> work);
  ~Aside();
  Aside(const Aside&) = delete;
  Aside& operator=(const Aside&) = delete;

 private:
  std::function<void()> work_;
  std::thread thread_;
};

}  // namespace tarn

#pragma once
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/context.h"
#include "download/limiter.h"

namespace tarn {

// Several files at once. Workers, each on a thread of its own with a kept
// connection of its own, take the next index from a shared cursor and run
// fetch on it; the caller's thread takes the finished indexes in order
// with Next and commits them, so whatever it records keeps the order of
// the list. An index starts only within kWindow of the first one the
// caller has not taken, and not while an earlier index it has not taken
// yet names the same target. The number of transfers at once halves with
// every failed attempt (Shrink), down to one, and grows by one with every
// file that came, up to the number of workers: a service that refuses
// connections or answers 503 is asked by fewer at once.
class FetchWorkers {
 public:
  // fetch runs on a worker; true when the file came.
  using Fetch = std::function<bool(size_t index, FetchWorkers& workers)>;
  using TargetOf = std::function<const std::string&(size_t index)>;
  static constexpr size_t kMaxWorkers = 16;
  static constexpr size_t kWindow = 64;

  // With limitOf, no more transfers run at once than the launcher's speed
  // limit calls for (ConnectionsUnderLimit), as it stands when each starts.
  FetchWorkers(size_t count, size_t workers, TargetOf target, Fetch fetch, DownloadContext* limitOf = nullptr);
  // Halts and waits for the workers.
  ~FetchWorkers();
  FetchWorkers(const FetchWorkers&) = delete;
  FetchWorkers& operator=(const FetchWorkers&) = delete;

  // Waits for the next index in order to be fetched, running idle on the
  // caller's thread at least every 20 ms meanwhile. False once every index
  // was taken, or after Halt, once every index started was.
  bool Next(size_t& index, const std::function<void()>& idle);
  // No index starts any more; the ones running finish.
  void Halt();
  // An attempt failed: fewer transfers at once.
  void Shrink();

 private:
  void Work();
  bool MayStart() const;  // under lock_
  size_t Allowed() const;  // under lock_: transfers at once now

  size_t count_;
  TargetOf target_;
  Fetch fetch_;
  DownloadContext* limitOf_;
  std::mutex lock_;
  std::condition_variable changed_;  // for the workers: a start may have become possible
  std::condition_variable ready_;    // for the caller: the file it waits for came
  std::vector<char> done_;  // guarded by lock_
  size_t cursor_ = 0;       // guarded by lock_: the next index to start
  size_t next_ = 0;         // guarded by lock_: the next index Next hands out
  size_t handed_ = 0;       // guarded by lock_: every index below it the caller is done with
  size_t running_ = 0;      // guarded by lock_
  size_t limit_ = 1;        // guarded by lock_: transfers allowed at once
  size_t most_ = 1;
  bool halted_ = false;     // guarded by lock_
  std::vector<std::thread> threads_;
};

}  // namespace tarn

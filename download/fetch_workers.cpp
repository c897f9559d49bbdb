#include "download/fetch_workers.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>

#include "download/limiter.h"
#include "platform/thread.h"

namespace tarn {
namespace {

constexpr auto kLimitLook = std::chrono::milliseconds(250);

}  // namespace

FetchWorkers::FetchWorkers(size_t count, size_t workers, TargetOf target, Fetch fetch, DownloadContext* limitOf)
    : count_(count), target_(std::move(target)), fetch_(std::move(fetch)), limitOf_(limitOf), done_(count, 0) {
  workers = std::clamp<size_t>(std::min(workers, count), 1, kMaxWorkers);
  for (size_t i = 0; i < workers; ++i) {
    try {
      threads_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      break;  // fewer workers; with none at all, Next fetches on its own thread
    }
  }
  {
    std::lock_guard lock(lock_);
    most_ = std::max<size_t>(threads_.size(), 1);
    limit_ = most_;
  }
  // Workers that started before the limit was raised are waiting under
  // the old one: without this they would sit out the first file's round
  // trip.
  changed_.notify_all();
}

FetchWorkers::~FetchWorkers() {
  Halt();
  for (std::thread& t : threads_) t.join();
}

void FetchWorkers::Halt() {
  {
    std::lock_guard lock(lock_);
    halted_ = true;
  }
  changed_.notify_all();
  ready_.notify_all();
}

void FetchWorkers::Shrink() {
  std::lock_guard lock(lock_);
  limit_ = std::max<size_t>(limit_ / 2, 1);
}

size_t FetchWorkers::Allowed() const {
  if (!limitOf_) return limit_;
  return std::min(limit_, ConnectionsUnderLimit(DownloadLimit(*limitOf_), most_));
}

bool FetchWorkers::MayStart() const {
  if (cursor_ >= count_ || running_ >= Allowed() || cursor_ >= handed_ + kWindow) return false;
  // A target listed twice: its ".part" file is not fetched into by two
  // transfers, nor before the earlier one is handed on for placing.
  const std::string& target = target_(cursor_);
  for (size_t j = handed_; j < cursor_; ++j)
    if (target_(j) == target) return false;
  return true;
}

void FetchWorkers::Work() {
  std::unique_lock lock(lock_);
  for (;;) {
    // A raised speed limit lets more start without a file ending first.
    while (!(halted_ || cursor_ >= count_ || MayStart())) changed_.wait_for(lock, kLimitLook);
    if (halted_ || cursor_ >= count_) break;
    const size_t index = cursor_++;
    ++running_;
    // One wake-up per start that became possible: a waiting worker woken
    // here wakes the next if there is still room, so a file's end does not
    // rouse every idle worker to fight over the lock on a busy processor.
    if (cursor_ >= count_) {
      changed_.notify_all();
    } else if (MayStart()) {
      changed_.notify_one();
    }
    lock.unlock();
    const bool came = fetch_(index, *this);
    lock.lock();
    --running_;
    done_[index] = 1;
    if (came && limit_ < most_) ++limit_;
    // The caller waits for the files in order; any other one it takes
    // without waiting once it gets there. This worker looks for the next
    // start itself.
    if (index == next_) ready_.notify_one();
  }
  lock.unlock();
  ReleaseThreadState();
}

bool FetchWorkers::Next(size_t& index, const std::function<void()>& idle) {
  std::unique_lock lock(lock_);
  // The caller is done with every index it took: the window moves, and an
  // index waiting for its target may start.
  if (handed_ != next_) {
    handed_ = next_;
    changed_.notify_one();
  }
  for (;;) {
    if (next_ < count_ && done_[next_]) {
      index = next_++;
      return true;
    }
    if (next_ >= count_ || (halted_ && next_ >= cursor_)) return false;
    if (threads_.empty() && cursor_ == next_) {
      // No worker thread could start: the caller's thread does the work.
      const size_t mine = cursor_++;
      lock.unlock();
      fetch_(mine, *this);
      lock.lock();
      done_[mine] = 1;
      continue;
    }
    ready_.wait_for(lock, std::chrono::milliseconds(20));
    lock.unlock();
    if (idle) idle();
    lock.lock();
  }
}

}  // namespace tarn

#include "bridge/tasks.h"

#include <memory>

#include "bridge/log.h"
#include "platform/thread.h"

namespace tarn {
namespace {

// How often JoinTasks hands the caller's thread to its pump.
constexpr auto kPumpSlice = std::chrono::milliseconds(10);

struct Started {
  TaskGroup* group;
  Task task;
};

}  // namespace

// The count rises before the thread starts and falls after the task and
// everything it captured are destroyed, so a task started by a task keeps
// the count above zero throughout.
void TaskGroup::Finished() {
  std::lock_guard lock(mutex_);
  if (--running_ == 0) idle_.notify_all();
}

TaskGroup::~TaskGroup() { WaitForTasks(*this); }

void TaskGroup::Body(void* arg) {
  std::unique_ptr<Started> started(static_cast<Started*>(arg));
  TaskGroup& group = *started->group;
  try {
    started->task();
  } catch (...) {
    LogLine(group.log_, "задача прервана исключением");
  }
  started.reset();
  ReleaseThreadState();
  group.Finished();
}

bool RunAsync(TaskGroup& group, Task task) {
  {
    std::lock_guard lock(group.mutex_);
    ++group.running_;
  }
  auto* started = new Started{&group, std::move(task)};
  if (StartDetachedThread(TaskGroup::Body, started)) return true;
  delete started;
  group.Finished();
  LogLine(group.log_, "не удалось запустить фоновую задачу");
  return false;
}

void WaitForTasks(TaskGroup& group) {
  std::unique_lock lock(group.mutex_);
  group.idle_.wait(lock, [&] { return group.running_ == 0; });
}

void RequestStop(TaskGroup& group) { group.stopping_.store(true); }

bool JoinTasks(TaskGroup& group, std::chrono::milliseconds limit, const std::function<void()>& pump) {
  const auto until = std::chrono::steady_clock::now() + limit;
  std::unique_lock lock(group.mutex_);
  while (group.running_ > 0) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return false;
    if (!pump) {
      group.idle_.wait_until(lock, until, [&] { return group.running_ == 0; });
      continue;
    }
    group.idle_.wait_for(lock, kPumpSlice, [&] { return group.running_ == 0; });
    lock.unlock();
    pump();
    lock.lock();
  }
  return true;
}

}  // namespace tarn

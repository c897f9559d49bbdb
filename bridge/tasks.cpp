#include "bridge/tasks.h"

#include <condition_variable>
#include <mutex>

#include "bridge/log.h"
#include "platform/thread.h"

namespace tarn {
namespace {

// Counts running tasks for WaitForTasks. The count rises before the thread
// starts and falls after the task and everything it captured are destroyed,
// so a task started by a task keeps the count above zero throughout.
struct TaskCount {
  std::mutex mutex;
  std::condition_variable idle;
  long running = 0;
};

TaskCount& Count() {
  static TaskCount* count = new TaskCount;  // never destroyed: detached threads may outlive main
  return *count;
}

void Finished() {
  TaskCount& c = Count();
  std::lock_guard lock(c.mutex);
  if (--c.running == 0) c.idle.notify_all();
}

void TaskBody(void* arg) {
  Task* task = static_cast<Task*>(arg);
  try {
    (*task)();
  } catch (...) {
    LogLine("задача прервана исключением");
  }
  delete task;
  ReleaseThreadState();
  Finished();
}

}  // namespace

bool RunAsync(Task task) {
  {
    std::lock_guard lock(Count().mutex);
    ++Count().running;
  }
  auto* holder = new Task(std::move(task));
  if (StartDetachedThread(TaskBody, holder)) return true;
  delete holder;
  Finished();
  LogLine("не удалось запустить фоновую задачу");
  return false;
}

void WaitForTasks() {
  TaskCount& c = Count();
  std::unique_lock lock(c.mutex);
  c.idle.wait(lock, [&] { return c.running == 0; });
}

}  // namespace tarn

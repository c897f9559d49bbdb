#pragma once
// Background tasks: every slow piece of work runs on a thread of its own,
// started at once, never queued. A task owns copies of its inputs and
// reports only through Events and log lines. The tasks of one launcher
// belong to its TaskGroup, which the host asks to stop and waits for before
// the launcher goes away, so no task outlives what it works on.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace tarn {

class Log;

using Task = std::function<void()>;

class TaskGroup {
 public:
  // Escaping exceptions and threads that could not start are told here.
  explicit TaskGroup(Log& log) : log_(log) {}
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;
  // Waits for every task still running: they work on what the group's
  // owner holds, which goes only after them. A host asks them to stop first
  // (CloseLauncher), so this wait is short.
  ~TaskGroup();

  // Set once the host asked the tasks to stop; a long task polls it (or
  // the flags its stop sets) at its quiet moments.
  const std::atomic<bool>& stopping() const { return stopping_; }

 private:
  friend bool RunAsync(TaskGroup& group, Task task);
  friend void WaitForTasks(TaskGroup& group);
  friend bool JoinTasks(TaskGroup& group, std::chrono::milliseconds limit, const std::function<void()>& pump);
  friend void RequestStop(TaskGroup& group);
  static void Body(void* arg);
  void Finished();

  Log& log_;
  std::mutex mutex_;
  std::condition_variable idle_;
  long running_ = 0;
  std::atomic<bool> stopping_{false};
};

// Starts the task on a new thread of the group and returns before it
// begins. An exception escaping the task is caught and logged; it never
// reaches the thread's runtime. False (with a log line) when no thread
// could be created: the task is dropped.
bool RunAsync(TaskGroup& group, Task task);

// Blocks until no task of the group is running, including tasks that
// running tasks start. Hosts use it to script the launcher (the headless
// host's :wait).
void WaitForTasks(TaskGroup& group);

// Raises stopping(). Tasks started afterwards still run; they see it set.
void RequestStop(TaskGroup& group);

// Waits at most limit for the group to run dry, calling pump (when given)
// every few milliseconds meanwhile, so a window thread keeps serving what
// the tasks ask of it. True when no task is left; a task counts as ended
// once it and everything it captured are gone and its thread only returns.
bool JoinTasks(TaskGroup& group, std::chrono::milliseconds limit, const std::function<void()>& pump = {});

}  // namespace tarn

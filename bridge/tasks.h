#pragma once
// Background tasks: every slow piece of work runs on a detached thread of
// its own, started at once, never queued, never joined. A task owns copies
// of its inputs and reports only through Events and log lines.
#include <functional>

namespace tarn {

using Task = std::function<void()>;

// Starts the task on a new thread and returns before it begins. An exception
// escaping the task is caught and logged; it never reaches the thread's
// runtime. False (with a log line) when no thread could be created: the
// task is dropped.
bool RunAsync(Task task);

// Blocks until no task is running, including tasks that running tasks
// start. Hosts use it to script the launcher (the headless host's :wait);
// the window host never waits for its tasks.
void WaitForTasks();

}  // namespace tarn

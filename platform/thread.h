#pragma once
// Operating-system threads for background tasks. The thread is started
// detached: nothing ever joins it, and it dies with the process.

namespace tarn {

using ThreadEntry = void (*)(void* arg);

// Starts entry(arg) on a new thread with the default stack size. False when
// the thread cannot be created; entry is then never called.
bool StartDetachedThread(ThreadEntry entry, void* arg);

// Lowers the calling thread's scheduling priority a step, for background
// work that should yield the processor to the thread it serves. Only a
// hint: nothing changes when the system declines.
void LowerThisThreadPriority();

// Frees what libraries keep per thread (on Linux, the kept connection of
// HttpRequest::keepConnection in platform/http.h, OpenSSL's error queue and
// caches). A task calls it as it ends, before it counts as finished: the
// library's own clean-up would run only after the thread is gone, and a
// process that exits right after its last task would leave that behind.
void ReleaseThreadState();

}  // namespace tarn

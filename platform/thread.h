#pragma once
// Operating-system threads for background tasks. The thread is started
// detached: nothing ever joins it, and it dies with the process.

namespace tarn {

using ThreadEntry = void (*)(void* arg);

// Starts entry(arg) on a new thread with the default stack size. False when
// the thread cannot be created; entry is then never called.
bool StartDetachedThread(ThreadEntry entry, void* arg);

}  // namespace tarn

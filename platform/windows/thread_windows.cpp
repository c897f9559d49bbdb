#include <process.h>
#include <windows.h>

#include "platform/thread.h"
#include "platform/windows/winhttp_exchange.h"

namespace tarn {
namespace {

struct Start {
  ThreadEntry entry;
  void* arg;
};

unsigned __stdcall Trampoline(void* p) {
  const Start start = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  start.entry(start.arg);
  return 0;
}

}  // namespace

void LowerThisThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

bool StartDetachedThread(ThreadEntry entry, void* arg) {
  auto* start = new Start{entry, arg};
  // The C runtime's own thread start sets up its per-thread state (errno,
  // locale, stdio buffers) that CreateThread would leave to chance.
  const uintptr_t thread = _beginthreadex(nullptr, 0, Trampoline, start, 0, nullptr);
  if (thread == 0) {
    delete start;
    return false;
  }
  // Closing the handle detaches the thread: it keeps running, and its
  // kernel object goes away when it ends.
  CloseHandle(reinterpret_cast<HANDLE>(thread));
  return true;
}

// The kept WinHTTP session and connection; the crypto calls keep no
// per-thread state.
void ReleaseThreadState() { ReleaseKeptWinHttp(); }

}  // namespace tarn

#include <openssl/crypto.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/linux/curl_linux.h"
#include "platform/thread.h"

namespace tarn {
namespace {

struct Start {
  ThreadEntry entry;
  void* arg;
};

void* Trampoline(void* p) {
  const Start start = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  start.entry(start.arg);
  return nullptr;
}

}  // namespace

bool StartDetachedThread(ThreadEntry entry, void* arg) {
  auto* start = new Start{entry, arg};
  pthread_t thread;
  if (pthread_create(&thread, nullptr, Trampoline, start) != 0) {
    delete start;
    return false;
  }
  pthread_detach(thread);
  return true;
}

void LowerThisThreadPriority() {
  // A nice value on Linux belongs to one thread, named by its kernel id.
  const auto self = static_cast<id_t>(syscall(SYS_gettid));
  setpriority(PRIO_PROCESS, self, getpriority(PRIO_PROCESS, self) + 5);
}

void ReleaseThreadState() {
  // The kept download connection first: closing it may still use OpenSSL.
  ReleaseKeptEasy();
  OPENSSL_thread_stop();
}

}  // namespace tarn

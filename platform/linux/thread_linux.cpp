#include <openssl/crypto.h>
#include <pthread.h>

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

void ReleaseThreadState() { OPENSSL_thread_stop(); }

}  // namespace tarn

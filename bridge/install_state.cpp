#include "bridge/install_state.h"

namespace tarn {

// Process-lifetime records, deliberately leaked: install tasks are detached
// and may still touch them while static destructors run at exit.
std::mutex& InstallLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

InstallState& TheInstallState() {
  static auto* state = new InstallState;
  return *state;
}

namespace {

std::atomic<uint8_t>& ClientWriterSlot() {
  static auto* slot = new std::atomic<uint8_t>{0};
  return *slot;
}

}  // namespace

bool TakeClientWriter(ClientWriter who, ClientWriter& holder) {
  // One compare-and-swap decides: there is no moment between "nobody holds
  // it" and "I hold it" in which the other side could slip in.
  uint8_t expected = 0;
  if (ClientWriterSlot().compare_exchange_strong(expected, static_cast<uint8_t>(who))) return true;
  holder = static_cast<ClientWriter>(expected);
  return false;
}

ClientWriter CurrentClientWriter() { return static_cast<ClientWriter>(ClientWriterSlot().load()); }

void ReleaseClientWriter(ClientWriter who) {
  uint8_t expected = static_cast<uint8_t>(who);
  ClientWriterSlot().compare_exchange_strong(expected, 0);
}

}  // namespace tarn

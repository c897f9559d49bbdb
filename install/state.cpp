#include "install/state.h"

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

InstallFlags& TheInstallFlags() {
  static auto* flags = new InstallFlags;
  return *flags;
}

}  // namespace tarn

#include "install/status.h"

namespace tarn {

void RequestInstallStop(InstallFlags& flags) {
  flags.stopRequested.exchange(true);
  flags.pauseRequested.exchange(false);
}

}  // namespace tarn

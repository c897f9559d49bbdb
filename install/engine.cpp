#include "install/engine.h"

namespace tarn {

// Not built yet: installs nothing.
void RunInstall(bool) {}
void RefreshInstallScreen() {}

}  // namespace tarn

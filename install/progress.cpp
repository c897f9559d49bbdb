#include "install/progress.h"

namespace tarn {

// Not built yet: posts nothing.
void PostInstallEvent() {}

}  // namespace tarn

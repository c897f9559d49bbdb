#include "client/epoch.h"

namespace tarn {

// Not built yet: posts nothing.
void PostEpoch() {}

}  // namespace tarn

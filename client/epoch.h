#pragma once
// The installed "epoch" (client build) and the service's current one.

namespace tarn {

// Posts the "epoch" Event.
void PostEpoch();

}  // namespace tarn

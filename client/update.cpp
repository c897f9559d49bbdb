#include "client/update.h"

namespace tarn {

// Not built yet: nothing is updated or checked.
void UpdateClient() {}
void CheckForUpdate() {}

}  // namespace tarn

#include "launch/discovery.h"

namespace tarn {

// Not built yet: no client is ever found.
std::string FindClientDir() { return {}; }
bool IsClientInstalled() { return false; }

}  // namespace tarn

#include "service/news.h"

namespace tarn {

// Not built yet: no news, no cabinet.
void PushNews() {}
void OpenCabinet(const std::string&) {}

}  // namespace tarn

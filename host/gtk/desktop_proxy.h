#pragma once
// The desktop's proxy settings, as GIO's proxy resolver reads them (the
// desktop's own settings, or a PAC script they name).
#include <string>

namespace tarn {

// The proxy GIO names for url, as a URL libcurl reads; empty for a direct
// connection, or when GIO cannot say. Blocks while a script is fetched or
// run: call it from a task, never from the main loop.
std::string DesktopProxy(const std::string& url);

}  // namespace tarn

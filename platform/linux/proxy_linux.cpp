#include <cstdlib>

#include "platform/proxy.h"

namespace tarn {

// The environment is the only proxy setting a process on Linux shares with
// every other program; the desktop's own settings reach the launcher
// through its window host.
std::optional<std::string> SystemProxy(std::string_view host, uint16_t, bool secure) {
  return ProxyFromEnvironment(
      [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (!value) return std::nullopt;
        return std::string(value);
      },
      host, secure);
}

}  // namespace tarn

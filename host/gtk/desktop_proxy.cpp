#include "host/gtk/desktop_proxy.h"

#include <gio/gio.h>

#include <memory>
#include <string_view>

#include "host/gtk/glib_owners.h"

namespace tarn {
namespace {

struct StrvDeleter {
  void operator()(gchar** list) const { g_strfreev(list); }
};

// GIO's schemes in libcurl's words: a SOCKS proxy named by the desktop
// resolves the service's name itself, as the desktop's programs let it.
std::string AsCurlReads(std::string_view proxy) {
  constexpr std::string_view kSocks = "socks://", kSocks5 = "socks5://", kSocks4 = "socks4://";
  if (proxy.starts_with(kSocks)) return "socks5h://" + std::string(proxy.substr(kSocks.size()));
  if (proxy.starts_with(kSocks5)) return "socks5h://" + std::string(proxy.substr(kSocks5.size()));
  if (proxy.starts_with(kSocks4)) return "socks4a://" + std::string(proxy.substr(kSocks4.size()));
  return std::string(proxy);
}

}  // namespace

std::string DesktopProxy(const std::string& url) {
  GProxyResolver* resolver = g_proxy_resolver_get_default();
  if (!resolver) return {};
  GError* failure = nullptr;
  std::unique_ptr<gchar*, StrvDeleter> found(g_proxy_resolver_lookup(resolver, url.c_str(), nullptr, &failure));
  const GErrorPtr error(failure);
  // The first is the one the desktop prefers; "direct://" means none.
  if (error || !found || !found.get()[0]) return {};
  const std::string_view first = found.get()[0];
  if (first.starts_with("direct://")) return {};
  return AsCurlReads(first);
}

}  // namespace tarn

#pragma once
// The proxy the player's system names for the launcher's service. Linux
// reads the environment the way curl does; Windows reads the user's own
// settings (manual and automatic) the way WinHTTP does. This machine is
// always reached directly, whatever any setting says. The rules themselves
// are pure text work, shared by every backend and the tests.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarn {

// A proxy URL taken apart: "[scheme://][user[:password]@]host[:port]".
struct ProxyParts {
  std::string scheme = "http";  // lower case; "http" when the text names none
  std::string user;             // percent escapes decoded, as curl reads them
  std::string password;
  std::string host;  // without the brackets of an IPv6 address
  uint16_t port = 1080;
};

// Nothing for a text that is no proxy: empty, an empty host, a bad port,
// a path, controls or blanks, or more than 2048 bytes.
std::optional<ProxyParts> ParseProxy(std::string_view text);

// scheme://host:port, never the user or the password: what the log and the
// page may show of a proxy. Empty for no proxy or one that does not parse.
std::string ProxyShown(std::string_view text);

// One variable of the environment; nothing when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// curl's reading of the environment for a connection to host: https_proxy
// (or HTTPS_PROXY) for TLS, http_proxy (lower case only) for plain HTTP,
// then all_proxy (or ALL_PROXY); the lower case wins, an empty value counts
// as unset. no_proxy (or NO_PROXY) then may send host directly. Nothing
// when no variable names a proxy; an empty text for a direct connection.
std::optional<std::string> ProxyFromEnvironment(const EnvironmentLookup& env, std::string_view host, bool secure);

// Whether a no_proxy list covers host, by curl's rules: "*" alone covers
// every host; otherwise entries split by commas or blanks, each a name
// (a leading dot ignored) that covers itself and every name under it, or
// an address, IPv4 with an optional /bits prefix length. Case does not
// matter; a trailing dot of host is ignored.
bool NoProxyCovers(std::string_view list, std::string_view host);

// WinHTTP's proxy list ("host:port", "http=host:port;https=host:port", or
// several of either split by ';' or blanks) read for TLS or plain HTTP: the
// first entry for that scheme, else the first without one, as a URL.
// Empty when the list has none for it.
std::string ProxyFromWinHttpList(std::string_view list, bool secure);

// Whether WinHTTP's bypass list (entries split by ';', ',' or blanks)
// covers host: "<local>" covers names without a dot, '*' stands for any
// run of characters, case does not matter.
bool WinHttpBypassCovers(std::string_view list, std::string_view host);

// What the system's own settings name for https://host:port (or http://):
// the environment on Linux, the user's settings through WinHTTP on
// Windows. Nothing when they name no proxy at all, an empty text when they
// say to go directly; this machine (IsLoopbackHost) always gets the latter.
// On Windows an automatic configuration may fetch its script: call it off
// the window thread.
std::optional<std::string> SystemProxy(std::string_view host, uint16_t port, bool secure);

}  // namespace tarn

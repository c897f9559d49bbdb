#pragma once
// Where the operator's service is: what the operator wrote into the file
// service.url beside the program, else the address built into the program
// (CMake option TARN_SERVICE_URL), else the loopback default. Read once by
// the host before the page loads; every request goes there.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarn {

class Log;

// The address the build was configured with, as written; empty for none.
// Generated at configure time.
extern const char kBuiltInServiceUrl[];

inline constexpr std::string_view kDefaultServiceHost = "127.0.0.1";
inline constexpr uint16_t kDefaultServicePort = 8090;
inline constexpr std::string_view kServiceUrlFileName = "service.url";
// Far above one address; a larger file is not a setting.
inline constexpr size_t kServiceUrlFileCap = 1024;

struct ServiceEndpoint {
  bool secure = false;  // https
  std::string host = std::string(kDefaultServiceHost);  // lower case; an IPv6 address without brackets
  uint16_t port = kDefaultServicePort;
};

// Reads "http://host[:port]" or "https://host[:port]", optionally with one
// closing "/", around which only blanks and one line end may stand (and a
// byte order mark before it). The host is a name of letters, digits, '-'
// and '.', a dotted-quad address or a bracketed IPv6 address; no user,
// path, query or fragment. nullopt for anything else. A plain http address
// that is not loopback parses: the transport refuses it, so the launcher
// shows the service as unreachable rather than quietly going elsewhere.
std::optional<ServiceEndpoint> ParseServiceUrl(std::string_view text);

// "https://host:port", the form the env Event and the log show.
std::string ServiceUrlText(const ServiceEndpoint& endpoint);
// "host:port" ("[v6]:port").
std::string ServiceHostPort(const ServiceEndpoint& endpoint);

// The endpoint named by builtIn, the loopback default when it is empty. An
// address that does not parse, or names another machine in plain http,
// leaves the loopback default and says so in the log: the configure step
// refuses both, so only a damaged program meets this.
ServiceEndpoint BuiltInServiceEndpoint(Log& log, std::string_view builtIn = kBuiltInServiceUrl);

// The endpoint named by folder/service.url, the built-in one when there is
// no such file. A file that cannot be read or parsed leaves the built-in
// one too, and says so in the log, as does a plain address that will be
// refused. Whenever the file exists the log names the endpoint in use;
// without it the start is as quiet as ever. Called by every host at start.
ServiceEndpoint LoadServiceEndpoint(Log& log, const std::string& folder,
                                    std::string_view builtIn = kBuiltInServiceUrl);

}  // namespace tarn

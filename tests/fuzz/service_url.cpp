// The operator's service.url: what the parser accepts is an address the
// launcher can print and read back unchanged, and the rule for plain HTTP
// holds for every host it yields.
#include <string>

#include "bridge/service_endpoint.h"
#include "fuzz.h"
#include "platform/http.h"

using namespace tarn;
using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = fuzz::Bytes(data, size);
  const bool loopback = IsLoopbackHost(input);
  Check(!loopback || input == "localhost" || input == "::1" || (input.starts_with("127.") && input.size() <= 15),
        "only localhost, ::1 and 127.x.x.x are this machine");
  const auto endpoint = ParseServiceUrl(input);
  if (!endpoint) return 0;
  Check(!endpoint->host.empty() && endpoint->port != 0, "an address has a host and a port");
  for (const char c : endpoint->host)
    Check((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':',
          "a host holds nothing a URL or a log line would read otherwise");
  const auto again = ParseServiceUrl(ServiceUrlText(*endpoint));
  Check(again && again->secure == endpoint->secure && again->host == endpoint->host && again->port == endpoint->port,
        "the address as shown reads back the same");
  return 0;
}

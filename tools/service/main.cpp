// tarn-service: the reference operator service over a site folder.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/service/service.h"

namespace {

const char kUsage[] =
    "usage: tarn-service --site DIR [options] [faults]\n"
    "  --site DIR           site folder (client/, TRN/element/, accounts.json, news.json)\n"
    "  --host ADDR          address to listen on (default 127.0.0.1)\n"
    "  --port N             port (default 8090; 0 picks a free one)\n"
    "  --access-log FILE    one line per request: method target status bytes range (default -: stdout)\n"
    "  --ready-file FILE    written with the port once connections are accepted\n"
    "  --ticket-ttl SEC     lifetime of a cabinet ticket (default 60; fractions allowed)\n"
    "  --control            enable GET/POST /control/faults for tests\n"
    "faults (each VALUE may end in *N to apply to the first N answers only):\n"
    "  --cut-after BYTES    close the connection after BYTES body bytes of a file answer\n"
    "  --ignore-range       answer file requests 200 with the whole file\n"
    "  --status MATCH=CODE  answer CODE when MATCH equals the path, the target or a file's list path\n"
    "  --retry-after VALUE  send Retry-After: VALUE (seconds or an HTTP date) with every --status answer\n"
    "  --corrupt PATH       flip bytes of that client file in transit (* for every file)\n"
    "  --endless MATCH      answer 200 with a body that never ends when MATCH equals the path or the target\n"
    "  --trickle MATCH=MS   answer 200 with an endless body of one byte every MS milliseconds\n"
    "  --redirect MATCH=PORT  answer 307 with Location: http://127.0.0.1:PORT and the same target\n"
    "  --shift-range BYTES  answer a range request 206 starting BYTES past the asked start\n"
    "  --stall-after BYTES=MS  after BYTES body bytes of a file answer, send nothing for MS ms, then close\n"
    "  --throttle BPS       send file bodies at BPS bytes per second\n"
    "  --delay MS           wait MS milliseconds before answering any request\n"
    "the same faults at run time: --control, then POST /control/faults (docs/operator.md)\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "tarn-service: %s\n%s", message.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  tarn::tools::ServiceConfig config;
  for (size_t i = 0; i < args.size();) {
    bool matched = false;
    std::string error;
    if (!tarn::tools::ParseFaultFlag(args, i, config.faults, matched, error)) return Fail(error);
    if (matched) continue;
    const std::string& flag = args[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (flag == "--control") {
      config.control = true;
      ++i;
      continue;
    }
    if (i + 1 >= args.size()) return Fail("unknown option or missing value: " + flag);
    const std::string& value = args[i + 1];
    i += 2;
    if (flag == "--site") {
      config.site = value;
    } else if (flag == "--host") {
      config.host = value;
    } else if (flag == "--port") {
      auto [p, ec] = std::from_chars(value.data(), value.data() + value.size(), config.port);
      if (ec != std::errc() || p != value.data() + value.size() || config.port < 0 || config.port > 65535) {
        return Fail("bad port: " + value);
      }
    } else if (flag == "--access-log") {
      config.accessLog = value;
    } else if (flag == "--ready-file") {
      config.readyFile = value;
    } else if (flag == "--ticket-ttl") {
      char* end = nullptr;
      config.ticketTtlSeconds = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(config.ticketTtlSeconds > 0)) return Fail("bad ticket lifetime: " + value);
    } else {
      return Fail("unknown option: " + flag);
    }
  }
  if (config.site.empty()) return Fail("--site is required");
  return tarn::tools::RunService(config);
}

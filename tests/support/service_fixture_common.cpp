// The parts of the service fixture that do not depend on how the service
// process is started: addresses, the access log, the site tools.
#include <cstdio>
#include <sstream>

#include "bridge/base64.h"
#include "support/service_fixture.h"

namespace tarn::test {
namespace fs = std::filesystem;

namespace {

// A tool that fails says why on the test's own error output.
bool RunTool(const std::vector<std::string>& argv, const fs::path& output) {
  if (detail::RunQuiet(argv, output) == 0) return true;
  std::fprintf(stderr, "%s failed: %s\n", argv[0].c_str(), ReadFile(output).c_str());
  return false;
}

}  // namespace

bool ServiceProcess::Start(const fs::path& site) {
  ServiceOptions options;
  options.site = site;
  return Start(options);
}

std::string ServiceProcess::Url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::vector<AccessEntry> ServiceProcess::AccessLog() const {
  std::vector<AccessEntry> entries;
  std::istringstream in(AccessLogText());
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    AccessEntry e;
    if (!(fields >> e.method >> e.target >> e.status >> e.bytes >> e.range)) continue;
    // Tests name a file by its path; which build's bytes it asked for is
    // asked apart.
    if (const size_t h = e.target.find("&h="); e.target.starts_with("/api/file?") && h != std::string::npos) {
      e.md5 = e.target.substr(h + 3);
      e.target.erase(h);
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

uint64_t ServiceProcess::BytesSent(std::string_view targetPrefix) const {
  uint64_t total = 0;
  for (const AccessEntry& e : AccessLog()) {
    if (e.target.starts_with(targetPrefix)) total += e.bytes;
  }
  return total;
}

std::string ServiceProcess::ErrorOutput() const { return work_ ? ReadFile(work_->path() / "stderr") : ""; }

fs::path ServiceProgram() { return TARN_SERVICE_PROGRAM; }
fs::path PublishProgram() { return TARN_PUBLISH_PROGRAM; }
fs::path DemoPrivateKey() { return fs::path(TARN_DEMO_KEY_DIR) / "demo-list-private.pem"; }
fs::path DemoPublicKey() { return fs::path(TARN_DEMO_KEY_DIR) / "demo-list-public.pem"; }

bool MakeDemoSite(const fs::path& site, const std::vector<std::string>& args) {
  TempDir log;
  std::vector<std::string> argv = {PublishProgram().string(), "demo", "--site", detail::ToolPath(site), "--key",
                                   detail::ToolPath(DemoPrivateKey())};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunTool(argv, log.path() / "out");
}

bool PublishSite(const fs::path& site, int build, const std::vector<std::string>& args) {
  TempDir log;
  std::vector<std::string> argv = {PublishProgram().string(), "site", "--site", detail::ToolPath(site), "--key",
                                   detail::ToolPath(DemoPrivateKey()), "--build", std::to_string(build)};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunTool(argv, log.path() / "out");
}

std::string FileTarget(std::string_view listPath) { return "/api/file?n=" + EncodeBase64Url(listPath); }

}  // namespace tarn::test

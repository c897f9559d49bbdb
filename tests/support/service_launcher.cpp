#include "support/service_launcher.h"

#include <algorithm>

#include "bridge/host_slots.h"

namespace tarn::test {
namespace fs = std::filesystem;

fs::path HeadlessProgram() { return TARN_HEADLESS_PROGRAM; }

fs::path PlaceProgram(const fs::path& program, const fs::path& folder) {
  fs::create_directories(folder);
  const fs::path placed = folder / program.filename();
  if (fs::exists(placed)) return placed;
  std::error_code ec;
  fs::create_hard_link(program, placed, ec);
  if (ec) fs::copy_file(program, placed, fs::copy_options::overwrite_existing);
  // The game's starter goes with the launcher, as the package ships it.
  const fs::path starter = program.parent_path() / "tarn-game-starter.exe";
  if (fs::exists(starter)) fs::copy_file(starter, folder / starter.filename(), fs::copy_options::overwrite_existing);
  return placed;
}

namespace {

ServiceEndpoint Loopback(int port) { return {.secure = false, .host = "127.0.0.1", .port = static_cast<uint16_t>(port)}; }

}  // namespace

ServiceEndpoint EndpointOf(const ServiceProcess& service) { return Loopback(service.port()); }

LoopbackEndpoint::LoopbackEndpoint(LauncherContext& ctx, int port) : ctx_(ctx) { InstallHostSlots(ctx_, {}, Loopback(port)); }

LoopbackEndpoint::~LoopbackEndpoint() { InstallHostSlots(ctx_, {}); }

void PointAtService(const fs::path& folder, const ServiceProcess& service) {
  const std::string url = service.running() ? service.Url("") : "http://127.0.0.1:" + std::to_string(kNoServicePort);
  WriteFile(folder / std::string(kServiceUrlFileName), url + "\n");
}

void ServiceLauncherTest::TearDown() {
  inProcess_.reset();
  service_.Stop();
}

void ServiceLauncherTest::MakeSite(const std::vector<std::string>& args, bool keepClient) {
  ASSERT_TRUE(MakeDemoSite(site_, args));
  if (!keepClient) fs::remove_all(site_ / "client");
}

void ServiceLauncherTest::StartService(const std::vector<std::string>& faults) {
  ServiceOptions options;
  options.site = site_;
  options.args = faults;
  ASSERT_TRUE(service_.Start(options)) << service_.error();
  for (const fs::path& folder : placed_) PointAtService(folder, service_);
}

fs::path ServiceLauncherTest::PlaceLauncher(const fs::path& folder) {
  const fs::path exe = PlaceProgram(HeadlessProgram(), folder);
  fs::create_directories(folder / "data");
  PointAtService(folder, service_);
  if (std::find(placed_.begin(), placed_.end(), folder) == placed_.end()) placed_.push_back(folder);
  if (exe_.empty()) exe_ = exe;
  return exe;
}

void ServiceLauncherTest::PointInProcessCode() { inProcess_ = std::make_unique<LoopbackEndpoint>(ctx, service_.port()); }

std::vector<std::string> ServiceLauncherTest::RunScript(const std::string& script) {
  const ProgramRun run = RunProgram(exe_, script);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return run.lines();
}

std::vector<AccessEntry> ServiceLauncherTest::FileRequests() const {
  std::vector<AccessEntry> kept;
  for (const AccessEntry& e : service_.AccessLog())
    if (e.target.starts_with("/api/file")) kept.push_back(e);
  return kept;
}

}  // namespace tarn::test

#pragma once
// The launcher against the reference service, as most end-to-end tests
// need it: a temporary root holding the site and the launcher's folder, the
// service on a port the system picks, and every launcher of the test
// pointed at it the way an operator points one: a service.url file beside
// the program. So any number of these tests run side by side.
//
// Typical use:
//   class MyTest : public test::ServiceLauncherTest {};
//   TEST_F(MyTest, Installs) {
//     MakeSite({"--size-mib", "1"});         // the demo site, client removed
//     PlaceLauncher();                        // exe_ in launcher_
//     StartService({"--cut-after", "4096*1"});
//     const auto lines = RunScript(ScriptLine("install.folder") + ":wait\n");
//   }
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bridge/context.h"
#include "bridge/service_endpoint.h"
#include "support/run_program.h"
#include "support/service_fixture.h"
#include "support/temp_dir.h"
#include "wiring/launcher.h"

namespace tarn::test {

// The headless launcher of the build.
std::filesystem::path HeadlessProgram();

// program in folder (created): a hard link where the file system allows
// one, a copy otherwise. The program looks for its files beside itself,
// so a folder of its own keeps its log, data and settings apart. The
// game's starter of the build goes beside it too.
std::filesystem::path PlaceProgram(const std::filesystem::path& program, const std::filesystem::path& folder);

// The running service as the launcher names it, for in-process code.
ServiceEndpoint EndpointOf(const ServiceProcess& service);

// Where nothing listens: tcpmux, which no test binds and no loopback serves.
inline constexpr uint16_t kNoServicePort = 1;

// Writes folder/service.url naming the service's endpoint, or, while it
// does not run, kNoServicePort: a launcher of these tests never reaches
// whatever happens to listen on the build's default port.
void PointAtService(const std::filesystem::path& folder, const ServiceProcess& service);

// In-process code (HttpCall, the downloader, the account commands) sends
// its requests to 127.0.0.1:port while this lives; host slots installed
// before are replaced by empty ones.
class LoopbackEndpoint {
 public:
  LoopbackEndpoint(LauncherContext& ctx, int port);
  ~LoopbackEndpoint();
  LoopbackEndpoint(const LoopbackEndpoint&) = delete;
  LoopbackEndpoint& operator=(const LoopbackEndpoint&) = delete;

 private:
  LauncherContext& ctx_;
};

class ServiceLauncherTest : public ::testing::Test {
 protected:
  void TearDown() override;

  // A demo site made by tarn-publish with these arguments; its client/
  // removed unless keepClient, for tests that publish files of their own.
  void MakeSite(const std::vector<std::string>& args, bool keepClient = false);
  // Starts service_ on site_ with these fault flags, and points every
  // launcher placed so far (and every one placed later) at it.
  void StartService(const std::vector<std::string>& faults = {});
  // The headless launcher in folder, with data/ and service.url beside it;
  // the first one placed becomes exe_. Placing it again changes nothing.
  std::filesystem::path PlaceLauncher(const std::filesystem::path& folder);
  std::filesystem::path PlaceLauncher() { return PlaceLauncher(launcher_); }
  // In-process code (HttpCall, the downloader) sends its requests to the
  // service too, until the test ends.
  void PointInProcessCode();
  // Runs exe_ with script on its input; it must end with 0. Its lines.
  std::vector<std::string> RunScript(const std::string& script);
  // The access log's requests for files (/api/file...).
  std::vector<AccessEntry> FileRequests() const;

  TempDir root_;
  std::filesystem::path site_ = root_.path() / "site";
  std::filesystem::path launcher_ = root_.path() / "launcher";
  std::filesystem::path exe_;
  ServiceProcess service_;
  // In-process code (the downloader, HttpCall) runs with this launcher,
  // which PointInProcessCode points at service_.
  Launcher launcher;
  LauncherContext& ctx = launcher.context;

 private:
  std::vector<std::filesystem::path> placed_;
  std::unique_ptr<LoopbackEndpoint> inProcess_;
};

}  // namespace tarn::test

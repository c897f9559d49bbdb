#pragma once
// Runs the reference operator service (tarn-service) for a test: started in
// a process group of its own on a site folder, ready once it accepts
// connections, stopped with everything it started, its access log readable
// at any time.
//
// The service listens on a port the system picks (port() tells which), so
// tests that start one run side by side. A launcher finds it through the
// service.url file beside the program, in-process code through the
// endpoint its host slots name (support/service_launcher.h does both).
//
// Typical use:
//   tarn::test::TempDir dir;
//   ASSERT_TRUE(tarn::test::MakeDemoSite(dir.path() / "site", {"--size-mib", "2"}));
//   tarn::test::ServiceProcess service;
//   ASSERT_TRUE(service.Start(dir.path() / "site")) << service.error();
//   ... run the launcher ...
//   EXPECT_EQ(service.BytesSent("/api/file"), expected);
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/temp_dir.h"

namespace tarn::test {

struct ServiceOptions {
  std::filesystem::path site;
  int port = 0;                   // 0: any free port; port() tells which
  double ticketTtlSeconds = 60;
  // Further flags of tarn-service, typically faults:
  // {"--cut-after", "4096*1", "--status", "/api/news=503"}.
  std::vector<std::string> args;
};

// One line of the access log.
struct AccessEntry {
  std::string method;
  std::string target;   // path and query as requested, a file request's "&h=MD5" taken off into md5
  std::string md5;      // the content a file request asked for, or empty
  int status = 0;
  uint64_t bytes = 0;   // body bytes actually sent
  std::string range;    // the Range header, or "-"
};

class ServiceProcess {
 public:
  ServiceProcess();
  // Stops the service. A service whose test process ends without stopping
  // it (a crash, a kill, an object never destroyed) is killed with it.
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Starts the service with /control enabled and waits (up to 10 s) until
  // it accepts connections. False, with error(), when it could not start
  // (for example the port is taken).
  bool Start(const ServiceOptions& options);
  // A free port, no faults: the common case.
  bool Start(const std::filesystem::path& site);
  // Ends the service's process group: SIGTERM, then SIGKILL after 5 s.
  // Harmless when nothing runs.
  void Stop();

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  int port() const { return port_; }
  const std::string& error() const { return error_; }
  // "http://127.0.0.1:PORT" + path.
  std::string Url(std::string_view path) const;

  // Replaces the faults in force, with the service's fault flags as one text
  // ("--ignore-range --delay 200"; "double quotes" around a value with
  // spaces); an empty text clears them.
  bool SetFaults(const std::string& flags);

  // The log lines of every request answered so far (waiting up to 5 s for
  // requests in flight); requests to /control are not logged.
  std::string AccessLogText() const;
  std::vector<AccessEntry> AccessLog() const;
  // Body bytes sent to requests whose target starts with prefix.
  uint64_t BytesSent(std::string_view targetPrefix = "") const;
  // What the service wrote to standard error.
  std::string ErrorOutput() const;

 private:
  std::unique_ptr<TempDir> work_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string error_;
};

// The programs and the demo keys of the build.
std::filesystem::path ServiceProgram();
std::filesystem::path PublishProgram();
std::filesystem::path DemoPrivateKey();
std::filesystem::path DemoPublicKey();

// Makes a demo site with `tarn-publish demo` (small by default here: pass
// {"--size-mib", "N"} and the like for more), signed with the demo key.
bool MakeDemoSite(const std::filesystem::path& site, const std::vector<std::string>& args = {"--size-mib", "2"});

// Signs the client/ folder of a site with the demo key and writes its build
// number, after a test has put files there.
bool PublishSite(const std::filesystem::path& site, int build, const std::vector<std::string>& args = {});

// The launcher's file request target for a list path: "/api/file?n=" and
// the path's Base64 with "-" and "_" for "+" and "/".
std::string FileTarget(std::string_view listPath);

namespace detail {
// Runs one of the operator tools to its end with its output in a file; the
// exit code, or -1.
int RunQuiet(const std::vector<std::string>& argv, const std::filesystem::path& output);
// A path of this machine as the operator tools (Linux programs) name it.
std::string ToolPath(const std::filesystem::path& path);
}  // namespace detail

}  // namespace tarn::test

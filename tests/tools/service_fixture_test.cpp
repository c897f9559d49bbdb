// The fixture as launcher tests use it: a port of its own, a demo site, and
// a clean stop that frees the port.
#include "support/service_fixture.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "cli.h"
#include "support/temp_dir.h"

namespace tarn::test {
namespace {

TEST(ServiceFixture, ServesTheDemoSiteOnAPortOfItsOwnAndFreesItOnStop) {
  TempDir dir;
  ASSERT_TRUE(MakeDemoSite(dir.path() / "site"));
  for (int round = 0; round < 2; ++round) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start(dir.path() / "site")) << service.error();
    ASSERT_GT(service.port(), 0);
    const std::string port = std::to_string(service.port());
    EXPECT_EQ(service.Url("/api/news"), "http://127.0.0.1:" + port + "/api/news");
    const auto run = RunShell("curl -sS -d '{\"login\":\"demo\",\"password\":\"demo\"}' " + service.Url("/api/auth"));
    EXPECT_NE(run.out.find("\"roles\""), std::string::npos) << run.out;

    // A second service on the same port cannot start, and says why.
    ServiceProcess second;
    ServiceOptions same;
    same.site = dir.path() / "site";
    same.port = service.port();
    EXPECT_FALSE(second.Start(same));
    EXPECT_NE(second.error().find(port), std::string::npos) << second.error();

    service.Stop();
    EXPECT_FALSE(service.running());
    EXPECT_NE(RunShell("curl -sS -o /dev/null http://127.0.0.1:" + port + "/api/news").code, 0);
    EXPECT_NE(service.AccessLogText().find("POST /api/auth 200"), std::string::npos) << "readable after the stop";
  }
}

TEST(ServiceFixture, AServiceNeverOutlivesTheProgramThatForgotToStopIt) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "site");
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A test program that starts a service and ends without a word: its
    // temporary files land in dir, which the parent removes.
    setenv("TMPDIR", dir.path().c_str(), 1);
    close(pipeFds[0]);
    auto* leaked = new ServiceProcess;
    ServiceOptions options;
    options.site = dir.path() / "site";
    options.port = 0;
    const pid_t pid = leaked->Start(options) ? leaked->pid() : -1;
    (void)!write(pipeFds[1], &pid, sizeof pid);
    _exit(0);
  }
  close(pipeFds[1]);
  pid_t service = -1;
  ASSERT_EQ(read(pipeFds[0], &service, sizeof service), static_cast<ssize_t>(sizeof service));
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_GT(service, 0) << "the service did not start";
  bool gone = false;
  for (int i = 0; i < 500 && !gone; ++i) {
    // The orphan is reaped by init (or a subreaper); until then it is a
    // zombie, which counts as gone.
    std::string state;
    std::ifstream stat("/proc/" + std::to_string(service) + "/stat");
    std::string skip;
    gone = !(stat >> skip >> skip >> state) || state == "Z";
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(gone) << "tarn-service " << service << " outlived its test program";
  if (!gone) kill(-service, SIGKILL);
}

}  // namespace
}  // namespace tarn::test

// The fixture as launcher tests use it: the fixed port, a demo site, and a
// clean stop that frees the port for the next test.
#include "support/service_fixture.h"

#include <gtest/gtest.h>

#include "cli.h"
#include "support/temp_dir.h"

namespace tarn::test {
namespace {

TEST(ServiceFixture, ServesTheDemoSiteOnTheLauncherPortAndFreesItOnStop) {
  TempDir dir;
  ASSERT_TRUE(MakeDemoSite(dir.path() / "site"));
  for (int round = 0; round < 2; ++round) {
    ServiceProcess service;
    ASSERT_TRUE(service.Start(dir.path() / "site")) << service.error();
    EXPECT_EQ(service.port(), kServicePort);
    const auto run = RunShell("curl -sS -d '{\"login\":\"demo\",\"password\":\"demo\"}' http://127.0.0.1:8090/api/auth");
    EXPECT_NE(run.out.find("\"roles\""), std::string::npos) << run.out;

    // A second service on the same port cannot start, and says why.
    ServiceProcess second;
    EXPECT_FALSE(second.Start(dir.path() / "site"));
    EXPECT_NE(second.error().find("8090"), std::string::npos) << second.error();

    service.Stop();
    EXPECT_FALSE(service.running());
    EXPECT_NE(RunShell("curl -sS -o /dev/null http://127.0.0.1:8090/api/news").code, 0);
    EXPECT_NE(service.AccessLogText().find("POST /api/auth 200"), std::string::npos) << "readable after the stop";
  }
}

}  // namespace
}  // namespace tarn::test

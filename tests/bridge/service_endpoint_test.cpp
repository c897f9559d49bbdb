#include "bridge/service_endpoint.h"

#include <gtest/gtest.h>

#include <string>

#include "bridge/context.h"
#include "platform/http.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

TEST(ServiceUrl, ReadsSchemeHostAndPortAndNothingElse) {
  struct Case {
    std::string text;
    bool ok;
    bool secure = false;
    std::string host = {};
    uint16_t port = 0;
  };
  const Case cases[] = {
      {"http://127.0.0.1:8090", true, false, "127.0.0.1", 8090},
      {"\xEF\xBB\xBF  HTTPS://Tarn.Example.ORG/ \r\n", true, true, "tarn.example.org", 443},
      {"https://tarn.example.org:8443\n", true, true, "tarn.example.org", 8443},
      {"http://localhost", true, false, "localhost", 80},
      {"https://[::1]:9", true, true, "::1", 9},
      {"http://10.0.0.5:65535", true, false, "10.0.0.5", 65535},
      {"", false},
      {"127.0.0.1:8090", false},
      {"ftp://tarn.example.org", false},
      {"https://", false},
      {"https://:443", false},
      {"https://host:", false},
      {"https://host:0", false},
      {"https://host:65536", false},
      {"https://host:+443", false},
      {"https://host:4 43", false},
      {"https://user@host", false},
      {"https://host/path", false},
      {"https://host?x=1", false},
      {"https://host#top", false},
      {"https://host//", false},
      {"https://-host.org", false},
      {"https://host-.org", false},
      {"https://host..org", false},
      {"https://хост.рф", false},
      {"https://" + std::string(64, 'a') + ".org", false},
      {"https://[::1", false},
      {"https://[::1]x", false},
      {"https://[host]:443", false},
      {"https://host\nhttps://other", false},
      {"https://host\n\n", false},
      {std::string("https://host\0.evil", 17), false},
  };
  for (const Case& c : cases) {
    const auto parsed = ParseServiceUrl(c.text);
    ASSERT_EQ(parsed.has_value(), c.ok) << c.text;
    if (!parsed) continue;
    EXPECT_EQ(parsed->secure, c.secure) << c.text;
    EXPECT_EQ(parsed->host, c.host) << c.text;
    EXPECT_EQ(parsed->port, c.port) << c.text;
  }
  EXPECT_EQ(ServiceUrlText(*ParseServiceUrl("https://[::1]:9")), "https://[::1]:9");
  EXPECT_EQ(ServiceUrlText(ServiceEndpoint{}), "http://127.0.0.1:8090");
  EXPECT_EQ(ServiceHostPort(ServiceEndpoint{}), "127.0.0.1:8090");
}

TEST(ServiceUrl, PlainHttpOnlyToAHostSpelledAsThisMachine) {
  for (const char* host : {"localhost", "::1", "127.0.0.1", "127.255.0.9", "127.0.0.255"})
    EXPECT_TRUE(IsLoopbackHost(host)) << host;
  for (const char* host : {"", "127.1", "127.0.0.01", "0x7f.0.0.1", "127.0.0.1.evil.org", "127.0.0.256", "127.0.0.",
                           ".127.0.0.1", "127.0.0.1.", "0.0.0.0", "128.0.0.1", "localhost.evil.org", "evil-localhost",
                           "LOCALHOST.", "::ffff:127.0.0.1", "10.0.0.5", "tarn.example.org"})
    EXPECT_FALSE(IsLoopbackHost(host)) << host;
  EXPECT_FALSE(RefusedInClear("10.0.0.5", true));
  EXPECT_TRUE(RefusedInClear("10.0.0.5", false));
}

TEST(ServiceUrl, TheFileBesideTheProgramOrTheDefault) {
  LauncherContext ctx;
  test::TempDir dir;
  const std::string folder = test::PathUtf8(dir.path());
  const auto file = dir.path() / "service.url";
  const ServiceEndpoint fallback;
  const auto load = [&](const std::string* bytes) {
    std::filesystem::remove_all(file);
    if (bytes) test::WriteFile(file, *bytes);
    const ServiceEndpoint e = LoadServiceEndpoint(ctx.log, folder);
    return ServiceUrlText(e);
  };
  EXPECT_EQ(load(nullptr), "http://127.0.0.1:8090");
  const std::string good = "https://tarn.example.org:8443\r\n";
  EXPECT_EQ(load(&good), "https://tarn.example.org:8443");
  // Garbage, a second line or a file far larger than an address: the
  // default, and a line in the log.
  for (const std::string& bad : {std::string("tarn.example.org"), std::string("https://a.org\nhttps://b.org"),
                                 "https://a.org" + std::string(2000, ' ')})
    EXPECT_EQ(load(&bad), ServiceUrlText(fallback)) << bad.substr(0, 40);
  // A folder of that name is no setting either.
  std::filesystem::remove_all(file);
  std::filesystem::create_directory(file);
  EXPECT_EQ(ServiceUrlText(LoadServiceEndpoint(ctx.log, folder)), ServiceUrlText(fallback));
}

// The address built into the program stands where there is no
// service.url, or a service.url that is no address; one that could only
// ever be refused (a damaged program) gives way to the loopback default.
TEST(ServiceUrl, TheBuiltInAddressBelowTheFileAndAboveTheDefault) {
  LauncherContext ctx;
  test::TempDir dir;
  const std::string folder = test::PathUtf8(dir.path());
  const std::string builtIn = "https://Tarn.Example.org:8443/";
  const auto load = [&](const std::string* bytes, std::string_view address) {
    std::filesystem::remove_all(dir.path() / "service.url");
    if (bytes) test::WriteFile(dir.path() / "service.url", *bytes);
    return ServiceUrlText(LoadServiceEndpoint(ctx.log, folder, address));
  };
  EXPECT_EQ(load(nullptr, builtIn), "https://tarn.example.org:8443");
  EXPECT_EQ(load(nullptr, ""), "http://127.0.0.1:8090");
  const std::string named = "http://localhost:9000";
  EXPECT_EQ(load(&named, builtIn), "http://localhost:9000");
  const std::string garbage = "tarn.example.org";
  EXPECT_EQ(load(&garbage, builtIn), "https://tarn.example.org:8443");
  for (std::string_view damaged : {"http://tarn.example.org", "tarn.example.org", "https://a.org/path", "https://"})
    EXPECT_EQ(load(nullptr, damaged), "http://127.0.0.1:8090") << damaged;
  EXPECT_EQ(ServiceUrlText(BuiltInServiceEndpoint(ctx.log, "http://127.0.0.2:1")), "http://127.0.0.2:1");
}

}  // namespace
}  // namespace tarn

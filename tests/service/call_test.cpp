// HttpCall on the service endpoint in use, with a scripted server or the
// reference service behind it: the result rule and the request the service
// sees.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "bridge/context.h"
#include "bridge/service_endpoint.h"
#include "service/call.h"
#include "support/http_server.h"
#include "support/service_fixture.h"
#include "support/service_launcher.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

using test::LoopbackServer;
using test::Reply;
using test::SeenRequest;

TEST(HttpCall, ServiceDownIsFalseWithNothingLeftOver) {
  LauncherContext ctx;
  const test::LoopbackEndpoint nobody(ctx, test::kNoServicePort);
  std::string body = "left from before";
  uint32_t status = 777;
  EXPECT_FALSE(HttpCall(ctx, "GET", "/api/news", {}, body, status));
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(body, "");
}

TEST(HttpCall, AnyStatusIsTrueAndTheCallerJudgesIt) {
  LauncherContext ctx;
  LoopbackServer server(
      [](const SeenRequest& r) { return r.target == "/api/auth" ? Reply(401, R"({"error":"denied"})") : Reply(200, "7"); });
  ASSERT_TRUE(server.listening());
  const test::LoopbackEndpoint endpoint(ctx, server.port());
  std::string body = "old";
  uint32_t status = 0;
  EXPECT_TRUE(HttpCall(ctx, "POST", "/api/auth", R"({"login":"a","password":"b"})", body, status));
  EXPECT_EQ(status, 401u);
  EXPECT_EQ(body, R"({"error":"denied"})");
  EXPECT_TRUE(HttpCall(ctx, "GET", "/TRN/element/version", {}, body, status));
  EXPECT_EQ(status, 200u);
  EXPECT_EQ(body, "7");
}

TEST(HttpCall, JsonTypeOnlyWithABodyAndTheLaunchersOwnAgent) {
  LauncherContext ctx;
  LoopbackServer server([](const SeenRequest&) { return Reply(200, "{}"); });
  ASSERT_TRUE(server.listening());
  const test::LoopbackEndpoint endpoint(ctx, server.port());
  std::string body;
  uint32_t status = 0;
  const std::string json = R"({"login":"игрок","password":"a\"b\\c"})";
  HttpCall(ctx, "POST", "/api/ticket", json, body, status);
  HttpCall(ctx, "GET", "/api/news", {}, body, status);
  HttpCall(ctx, "POST", "/api/auth", {}, body, status);
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 3u);

  EXPECT_NE(seen[0].head.find("\r\nContent-Type: application/json; charset=utf-8\r\n"), std::string::npos)
      << seen[0].head;
  EXPECT_EQ(seen[0].body, json);
  EXPECT_EQ(seen[0].Header("Content-Length"), std::to_string(json.size()));
  EXPECT_EQ(seen[0].Header("Host"), "127.0.0.1:" + std::to_string(server.port()));
  for (const SeenRequest& r : seen) EXPECT_EQ(r.Header("User-Agent"), "TarnLauncher/1.0");
  for (const SeenRequest& r : {seen[1], seen[2]}) {
    bool found = true;
    r.Header("Content-Type", &found);
    EXPECT_FALSE(found) << r.head;
    EXPECT_EQ(r.body, "");
  }
}

// A task asks several things in a row; each call after the first goes out
// on the thread's open connection, but never on one an answer was cut on.
TEST(HttpCall, AThreadsCallsShareItsConnectionButNeverACutOne) {
  LauncherContext ctx;
  LoopbackServer server([](const SeenRequest& r) {
    Reply reply(200, std::string(100, r.target == "/api/news" ? 'n' : 'v'));
    reply.keepOpen = true;
    if (r.target == "/api/auth") reply.cutAfter = 10;
    return reply;
  });
  ASSERT_TRUE(server.listening());
  const test::LoopbackEndpoint endpoint(ctx, server.port());
  std::string body;
  uint32_t status = 0;
  for (const char* path : {"/TRN/element/version", "/api/news", "/TRN/element/version"})
    EXPECT_TRUE(HttpCall(ctx, "GET", path, {}, body, status) && body.size() == 100) << path;
  EXPECT_EQ(server.connections(), 1);
  EXPECT_TRUE(HttpCall(ctx, "POST", "/api/auth", "{}", body, status));
  EXPECT_EQ(body, std::string(10, 'v'));
  EXPECT_TRUE(HttpCall(ctx, "GET", "/api/news", {}, body, status));
  EXPECT_EQ(body, std::string(100, 'n'));
  EXPECT_EQ(server.connections(), 2);
  // Another thread has a connection of its own.
  std::thread([&] { EXPECT_TRUE(HttpCall(ctx, "GET", "/api/news", {}, body, status)); }).join();
  EXPECT_EQ(server.connections(), 3);
}

TEST(HttpCall, AnswersBeyondTheirCeilingFailWithNothingKept) {
  LauncherContext ctx;
  test::TempDir dir;
  const std::filesystem::path site = dir.path() / "site";
  std::filesystem::create_directories(site / "TRN" / "element");
  // Just under the list's ceiling passes; the same size as a build number
  // does not.
  const std::string list(kFileListCapBytes - 10, 'l');
  test::WriteFile(site / "TRN" / "element" / "files.md5", list);
  test::WriteFile(site / "TRN" / "element" / "version", std::string(kSmallDocumentCapBytes + 1, '7'));
  test::ServiceProcess service;
  test::ServiceOptions options;
  options.site = site;
  options.args = {"--endless", "/api/news", "--endless", "/api/auth"};
  ASSERT_TRUE(service.Start(options)) << service.error();
  const test::LoopbackEndpoint endpoint(ctx, service.port());

  std::string body = "old";
  uint32_t status = 7;
  EXPECT_TRUE(HttpCall(ctx, "GET", "/TRN/element/files.md5", {}, body, status));
  EXPECT_EQ(status, 200u);
  EXPECT_TRUE(body == list) << body.size();
  for (const char* path : {"/TRN/element/version", "/api/news"}) {
    EXPECT_FALSE(HttpCall(ctx, "GET", path, {}, body, status)) << path;
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(body, "");
  }
  EXPECT_FALSE(HttpCall(ctx, "POST", "/api/auth", R"({"login":"a","password":"b"})", body, status));
  // The endless answers were given up soon after their ceiling.
  EXPECT_LT(service.BytesSent("/api/news"), 8u * kSmallDocumentCapBytes);
  // and the connection they were given up on is not the next call's.
  EXPECT_TRUE(HttpCall(ctx, "GET", "/TRN/element/files.md5", {}, body, status));
  EXPECT_TRUE(body == list) << body.size();
}

TEST(HttpCall, ARedirectToAnotherPortIsNotFollowed) {
  LauncherContext ctx;
  LoopbackServer thief([](const SeenRequest&) { return Reply(200, R"({"roles":[]})"); });
  test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "site");
  test::ServiceProcess service;
  test::ServiceOptions options;
  options.site = dir.path() / "site";
  options.args = {"--redirect", "/api/auth=" + std::to_string(thief.port())};
  ASSERT_TRUE(service.Start(options)) << service.error();
  const test::LoopbackEndpoint endpoint(ctx, service.port());
  std::string body;
  uint32_t status = 0;
  EXPECT_TRUE(HttpCall(ctx, "POST", "/api/auth", R"({"login":"a","password":"stored secret"})", body, status));
  EXPECT_EQ(status, 307u);
  EXPECT_TRUE(thief.requests().empty()) << "the password went to " << thief.port();
}

TEST(HttpCall, ATrickledAnswerFailsAtTheOverallDeadline) {
  LauncherContext ctx;
  test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "site");
  test::ServiceProcess service;
  test::ServiceOptions options;
  options.site = dir.path() / "site";
  options.args = {"--trickle", "/TRN/element/version=1000"};
  ASSERT_TRUE(service.Start(options)) << service.error();
  const test::LoopbackEndpoint endpoint(ctx, service.port());
  std::string body;
  uint32_t status = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(HttpCall(ctx, "GET", "/TRN/element/version", {}, body, status));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(body, "");
  EXPECT_GE(took, std::chrono::milliseconds(kSmallRequestTotalMs - 500));
  EXPECT_LT(took, std::chrono::milliseconds(kSmallRequestTotalMs + 10000));
}

}  // namespace
}  // namespace tarn

// HttpCall on the service's own endpoint, with a scripted server bound to
// it: the result rule and the request the service sees.
#include <gtest/gtest.h>

#include "loopback_server.h"
#include "service/http.h"

namespace tarn {
namespace {

using test::LoopbackServer;
using test::Reply;
using test::SeenRequest;

TEST(HttpCall, ServiceDownIsFalseWithNothingLeftOver) {
  std::string body = "left from before";
  uint32_t status = 777;
  EXPECT_FALSE(HttpCall("GET", "/api/news", {}, body, status));
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(body, "");
}

TEST(HttpCall, AnyStatusIsTrueAndTheCallerJudgesIt) {
  LoopbackServer server(
      [](const SeenRequest& r) { return r.target == "/api/auth" ? Reply(401, R"({"error":"denied"})") : Reply(200, "7"); },
      ServicePort);
  ASSERT_TRUE(server.listening());
  std::string body = "old";
  uint32_t status = 0;
  EXPECT_TRUE(HttpCall("POST", "/api/auth", R"({"login":"a","password":"b"})", body, status));
  EXPECT_EQ(status, 401u);
  EXPECT_EQ(body, R"({"error":"denied"})");
  EXPECT_TRUE(HttpCall("GET", "/TRN/element/version", {}, body, status));
  EXPECT_EQ(status, 200u);
  EXPECT_EQ(body, "7");
}

TEST(HttpCall, JsonTypeOnlyWithABodyAndTheLaunchersOwnAgent) {
  LoopbackServer server([](const SeenRequest&) { return Reply(200, "{}"); }, ServicePort);
  ASSERT_TRUE(server.listening());
  std::string body;
  uint32_t status = 0;
  const std::string json = R"({"login":"игрок","password":"a\"b\\c"})";
  HttpCall("POST", "/api/ticket", json, body, status);
  HttpCall("GET", "/api/news", {}, body, status);
  HttpCall("POST", "/api/auth", {}, body, status);
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 3u);

  EXPECT_NE(seen[0].head.find("\r\nContent-Type: application/json; charset=utf-8\r\n"), std::string::npos)
      << seen[0].head;
  EXPECT_EQ(seen[0].body, json);
  EXPECT_EQ(seen[0].Header("Content-Length"), std::to_string(json.size()));
  EXPECT_EQ(seen[0].Header("Host"), "127.0.0.1:8090");
  for (const SeenRequest& r : seen) EXPECT_EQ(r.Header("User-Agent"), "TarnLauncher/1.0");
  for (const SeenRequest& r : {seen[1], seen[2]}) {
    bool found = true;
    r.Header("Content-Type", &found);
    EXPECT_FALSE(found) << r.head;
    EXPECT_EQ(r.body, "");
  }
}

}  // namespace
}  // namespace tarn

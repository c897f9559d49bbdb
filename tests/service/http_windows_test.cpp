// The WinHTTP transport's own promises beyond what the account and
// download tests use: a redirect comes back as it is, plain HTTP goes to
// this machine only, and the overall limit ends an exchange that never
// stalls long enough for the others.
#include <gtest/gtest.h>
#include <winsock2.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/http.h"
#include "support/service_fixture.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

using Clock = std::chrono::steady_clock;

struct Reply {
  uint32_t status = 0;
  HttpEnd end = HttpEnd::Failed;
  std::string body;
};

Reply Get(uint16_t port, const std::string& target, int totalMs = 0, const std::string& host = "127.0.0.1") {
  HttpRequest request;
  request.host = host;
  request.port = port;
  request.method = "GET";
  request.target = target;
  request.userAgent = "TarnLauncher/1.0";
  request.timeouts.totalMs = totalMs;
  Reply reply;
  HttpSink sink;
  sink.body = [&](std::string_view bytes) {
    reply.body.append(bytes);
    return true;
  };
  const HttpResult result = SendHttpRequest(request, sink);
  reply.status = result.status;
  reply.end = result.end;
  return reply;
}

// Answers one connection with a redirect to an address that must never be
// asked for, and counts what arrives.
class RedirectingServer {
 public:
  RedirectingServer() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 4);
    int size = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        const SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) return;
        ++connections_;
        char buffer[4096];
        recv(client, buffer, sizeof buffer, 0);
        const std::string answer = "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:" + std::to_string(port_) +
                                   "/elsewhere\r\nContent-Length: 5\r\nConnection: close\r\n\r\nmoved";
        send(client, answer.data(), static_cast<int>(answer.size()), 0);
        shutdown(client, SD_SEND);
        closesocket(client);
      }
    });
  }
  ~RedirectingServer() {
    closesocket(listener_);
    thread_.join();
    WSACleanup();
  }
  uint16_t port() const { return port_; }
  int connections() const { return connections_; }

 private:
  SOCKET listener_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  std::thread thread_;
};

TEST(WinHttpTransport, ARedirectIsAnsweredNotFollowed) {
  RedirectingServer server;
  const Reply reply = Get(server.port(), "/start");
  EXPECT_EQ(reply.status, 302u);
  EXPECT_EQ(reply.end, HttpEnd::Complete);
  EXPECT_EQ(reply.body, "moved");
  EXPECT_EQ(server.connections(), 1);
}

TEST(WinHttpTransport, PlainHttpGoesToThisMachineOnly) {
  RedirectingServer server;
  // Each of these spellings reaches the listener on 127.0.0.1, but none is
  // plainly this machine: no request sends a byte in clear to them,
  // ranged and kept-connection ones included.
  for (const char* host : {"0.0.0.0", "127.1", "127.0.0.01"}) {
    EXPECT_EQ(Get(server.port(), "/", 0, host).status, 0u) << host;
    HttpRequest request;
    request.host = host;
    request.port = server.port();
    request.target = "/";
    request.userAgent = "TarnLauncher/1.0";
    request.rangeFrom = 5;
    request.keepConnection = true;
    const HttpResult result = SendHttpRequest(request, {});
    EXPECT_EQ(result.status, 0u) << host;
    EXPECT_EQ(result.end, HttpEnd::Failed) << host;
  }
  EXPECT_EQ(server.connections(), 0);
  EXPECT_EQ(Get(server.port(), "/").status, 302u);
  EXPECT_EQ(server.connections(), 1);
}

TEST(WinHttpTransport, TheOverallLimitEndsSlowAnswersWithNoStatus) {
  test::TempDir dir;
  std::string content(20000, 'x');
  test::WriteFile(dir.path() / "site" / "client" / "data.bin", content);
  test::ServiceProcess service;
  test::ServiceOptions options;
  options.site = dir.path() / "site";
  options.port = 0;
  options.args = {"--throttle", "4000"};
  ASSERT_TRUE(service.Start(options)) << service.error();
  const auto port = static_cast<uint16_t>(service.port());

  // The body trickles in far longer than the limit: it is cut where the
  // limit fell, and the answer counts as none, as on every backend (a
  // caller with an overall limit wants the whole answer in time or nothing).
  auto start = Clock::now();
  Reply reply = Get(port, test::FileTarget("data.bin"), 1000);
  EXPECT_EQ(reply.status, 0u);
  EXPECT_EQ(reply.end, HttpEnd::Failed);
  EXPECT_FALSE(reply.body.empty()) << "a status and bytes did arrive before the limit";
  EXPECT_LT(reply.body.size(), content.size());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));

  // No answer at all within the limit: no status.
  ASSERT_TRUE(service.SetFaults("--delay 5000"));
  start = Clock::now();
  reply = Get(port, "/api/news", 500);
  EXPECT_EQ(reply.status, 0u);
  EXPECT_EQ(reply.end, HttpEnd::Failed);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

}  // namespace
}  // namespace tarn

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/http.h"
#include "platform/windows/winhttp_exchange.h"

namespace tarn {
namespace {

// The largest piece read at once; a server announcing more gets it in turns.
constexpr DWORD kLargestPiece = 1 << 20;

}  // namespace

uint32_t SendHttpRequest(const HttpRequest& request, const HttpSink& sink) {
  WinHttpExchange x;
  if (!x.Open({.host = request.host,
               .port = request.port,
               .method = request.method,
               .target = request.target,
               .userAgent = request.userAgent,
               .resolveMs = request.timeouts.resolveMs,
               .connectMs = request.timeouts.connectMs,
               .sendMs = request.timeouts.sendMs,
               .receiveMs = request.timeouts.receiveMs}))
    return 0;
  if (request.timeouts.totalMs > 0)
    x.SetDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(request.timeouts.totalMs));

  if (x.Send(request.headers, request.body, nullptr) != WinHttpExchange::Step::Done) return 0;
  const uint32_t status = x.Status();
  if (status == 0) return 0;

  // From here on the status stands, whatever happens to the body.
  bool headDone = false;
  const auto head = [&]() {
    headDone = true;
    return !sink.head || sink.head(status, x.ContentLength());
  };
  std::vector<char> buffer;
  for (;;) {
    DWORD available = 0;
    if (x.Available(available, nullptr) != WinHttpExchange::Step::Done || available == 0) break;
    const DWORD want = std::min(available, kLargestPiece);
    if (buffer.size() < want) buffer.resize(want);
    DWORD got = 0;
    if (x.Read(buffer.data(), want, got, nullptr) != WinHttpExchange::Step::Done || got == 0) break;
    if (!headDone && !head()) return status;
    if (sink.body && !sink.body(std::string_view(buffer.data(), got))) return status;
  }
  if (!headDone) head();
  return status;
}

}  // namespace tarn

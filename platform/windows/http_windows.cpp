#include <algorithm>
#include <chrono>

#include "platform/http.h"
#include "platform/windows/winhttp_exchange.h"

namespace tarn {

// WinHTTP needs no process-wide set-up: each session is its own.
HttpLibrary::HttpLibrary() = default;
HttpLibrary::~HttpLibrary() = default;

namespace {

// The largest piece read at once; a server announcing more gets it in turns.
constexpr DWORD kLargestPiece = 1 << 20;

}  // namespace

uint32_t SendHttpRequest(const HttpRequest& request, const HttpSink& sink) {
  WinHttpExchange x;
  if (!x.Open({.host = request.host,
               .port = request.port,
               .secure = request.secure,
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
  for (;;) {
    DWORD available = 0;
    if (x.Available(available, nullptr) != WinHttpExchange::Step::Done || available == 0) break;
    std::string_view piece;
    if (x.Read(std::min(available, kLargestPiece), piece, nullptr) != WinHttpExchange::Step::Done || piece.empty())
      break;
    if (!headDone && !head()) return status;
    if (sink.body && !sink.body(piece)) return status;
  }
  if (!headDone) head();
  return status;
}

}  // namespace tarn

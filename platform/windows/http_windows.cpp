#include <algorithm>
#include <chrono>
#include <string>

#include "platform/http.h"
#include "platform/windows/wide.h"
#include "platform/windows/winhttp_exchange.h"

namespace tarn {

// WinHTTP needs no process-wide set-up: each session is its own.
HttpLibrary::HttpLibrary() = default;
HttpLibrary::~HttpLibrary() = default;

namespace {

using Step = WinHttpExchange::Step;

// The largest piece read at once when the caller names none; a server
// announcing more gets it in turns.
constexpr size_t kDefaultPiece = 64 * 1024;

// Why the server's certificate was refused, from the error of the failed
// step. An asynchronous request mostly fails with the summary
// ERROR_WINHTTP_SECURE_FAILURE; the detailed flags come only through a
// secure-failure notification, and asking for that one leaves Wine's
// WinHTTP unable to end the process, so the summary is told as it is.
std::string CertificateReasonOf(const WinHttpExchange& x) {
  switch (x.error()) {
    case ERROR_WINHTTP_SECURE_INVALID_CA:
      return CertificateReason(CertificateProblem::UnknownAuthority);
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
      return CertificateReason(CertificateProblem::Expired);
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
      return CertificateReason(CertificateProblem::WrongName);
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
      return CertificateReason(CertificateProblem::Other);
    case ERROR_WINHTTP_SECURE_FAILURE:
      return CertificateReason(CertificateProblem::Other, "WinHTTP " + std::to_string(x.error()));
    default:
      return {};
  }
}

// How an exchange ends whose step did not come to Done.
HttpResult Ended(const WinHttpExchange& x, Step step, uint32_t status) {
  if (step == Step::Stopped) {
    // Only the overall limit stops a step with a time-out; the rest is the
    // sink's idle poll asking to stop.
    if (x.error() == ERROR_WINHTTP_TIMEOUT) return {0, HttpEnd::Failed, {}};
    return {status, HttpEnd::Cancelled, {}};
  }
  if (x.error() == ERROR_WINHTTP_INVALID_SERVER_RESPONSE) return {status, HttpEnd::BadReply, {}};
  return {status, HttpEnd::Failed, CertificateReasonOf(x)};
}

HttpHead HeadOf(const WinHttpExchange& x) {
  HttpHead head;
  head.status = x.Status();
  head.contentLength = x.ContentLength();
  if (std::string range; x.Header(WINHTTP_QUERY_CONTENT_RANGE, range))
    head.rangeFirst = ContentRangeFirst(range).value_or(-1);
  if (std::string wait; x.Header(WINHTTP_QUERY_RETRY_AFTER, wait))
    head.retryAfterSeconds = RetryAfterSecondsNow(wait).value_or(-1);
  return head;
}

}  // namespace

// A keepConnection request goes out on the thread's kept session and
// connection, where WinHTTP reuses the connection the last request left
// open; any other opens handles of its own.
HttpResult SendHttpRequest(const HttpRequest& request, const HttpSink& sink) {
  WinHttpExchange x;
  const HttpTimeouts& limits = request.timeouts;
  const WinHttpTarget target{.host = request.host,
                             .port = request.port,
                             .secure = request.secure,
                             .method = request.method,
                             .target = request.target,
                             .userAgent = request.userAgent,
                             .resolveMs = limits.resolveMs,
                             .connectMs = limits.connectMs,
                             .sendMs = limits.sendMs,
                             .receiveMs = limits.receiveMs,
                             .proxy = request.proxy};
  HINTERNET session = nullptr, connection = nullptr;
  // Plain HTTP to another machine is refused by Open before any handle.
  const bool opened = request.keepConnection && !RefusedInClear(request.host, request.secure)
                          ? KeptWinHttp(target, session, connection) && x.Open(target, session, connection)
                          : x.Open(target);
  if (!opened) return {.reason = RefusedInClear(request.host, request.secure) ? kRefusedInClearReason : ""};
  if (limits.totalMs > 0)
    x.SetDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(limits.totalMs));
  if (const std::string range = RangeValue(request); !range.empty() && !x.AddHeader(ToWide("Range: bytes=" + range)))
    return {};

  // Asked while a step waits on the network, so a pause or stop never
  // waits for the next piece.
  const WinHttpExchange::Poll idle = [&sink] { return !sink.idle || sink.idle(); };
  if (const Step sent = x.Send(request.headers, request.body, idle); sent != Step::Done) return Ended(x, sent, 0);

  const HttpHead head = HeadOf(x);
  const uint32_t status = head.status;
  if (status == 0) return {0, HttpEnd::BadReply, {}};
  // WinHTTP hands a proxy's own refusal of the tunnel back as the answer:
  // it must not pass for the service's.
  if (status == 407 && !request.proxy.empty() && !IsLoopbackHost(request.host))
    return {0, HttpEnd::Failed, ProxyRefusalReason(request.proxy, status)};
  std::string location;
  x.Header(WINHTTP_QUERY_LOCATION, location);
  const std::string redirect = RedirectReason(status, std::string_view(location).substr(0, 512));
  if (sink.head && !sink.head(head)) return {status, HttpEnd::Cancelled, redirect};

  int64_t received = 0;
  const size_t largestPiece = request.bufferBytes > 0 ? request.bufferBytes : kDefaultPiece;
  for (;;) {
    if (!idle()) return {status, HttpEnd::Cancelled, {}};
    DWORD available = 0;
    if (const Step asked = x.Available(available, idle); asked != Step::Done) return Ended(x, asked, status);
    if (available == 0) break;
    std::string_view piece;
    const auto size = static_cast<DWORD>(std::min<size_t>(available, largestPiece));
    if (const Step read = x.Read(size, piece, idle); read != Step::Done) return Ended(x, read, status);
    if (piece.empty()) return {status, HttpEnd::Failed, {}};
    received += static_cast<int64_t>(piece.size());
    if (sink.body && !sink.body(piece)) return {status, HttpEnd::Cancelled, {}};
  }
  // A connection that closes early can read as a clean end of the body.
  if (request.method != "HEAD" && head.contentLength >= 0 && received < head.contentLength) return {status, HttpEnd::Failed, {}};
  return {status, HttpEnd::Complete, redirect};
}

}  // namespace tarn

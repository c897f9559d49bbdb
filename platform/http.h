#pragma once
// One HTTP/1.1 request and its response (plain or over TLS), for the short
// service calls and the resumable downloader alike. The caller sees the
// response as it arrives, piece by piece, never held whole, and can end the
// exchange between two pieces or while the network is silent. Only the
// proxy the request names is used, never one the environment names behind
// the caller's back; no cookies; redirects are never followed. A request goes out on a connection of its own, unless it
// asks for the calling thread's kept connection (keepConnection).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// How long each step of an exchange may take. The send and receive limits
// are stall limits: they end the exchange when no byte moves for that long,
// so a slow but steady transfer is never cut.
struct HttpTimeouts {
  int resolveMs = 5000;  // the connect phase may take resolveMs + connectMs
  int connectMs = 5000;
  int sendMs = 15000;
  int receiveMs = 30000;
  // The longest the whole exchange may take, from the first step to the
  // last body byte; 0 sets no such limit (downloads of any size). It ends a
  // server that drips one byte just inside the stall limits. When it
  // passes, the exchange ends where it stands and counts as having no
  // status (see HttpResult): a caller that set an overall limit wants the
  // whole answer in time or none of it.
  int totalMs = 0;
};

struct HttpRequest {
  std::string host;  // name or address, without scheme or port
  uint16_t port = 80;
  // TLS, with the server's certificate checked against the system's
  // authorities and its name against host. There is no way to turn the
  // check off. Plain HTTP goes to this machine only (IsLoopbackHost).
  bool secure = false;
  std::string method = "GET";  // "GET", "POST", ...
  std::string target;          // path and query as they go on the request line
  // Extra header lines ("Name: value", no line end). Nothing else is added
  // beyond what HTTP itself needs (Host, Content-Length, the user agent, the
  // Range below): no Accept, no Expect, no Content-Type unless given here.
  std::vector<std::string> headers;
  std::string_view body;  // sent in one piece; empty sends no body
  std::string userAgent;
  HttpTimeouts timeouts;
  // Asks for the body from this byte on ("Range: bytes=N-"); 0 sends no
  // Range header.
  uint64_t rangeFrom = 0;
  // Above 0: asks for exactly this many bytes from rangeFrom on ("Range:
  // bytes=N-M"), rangeFrom 0 included.
  uint64_t rangeLength = 0;
  // The largest piece handed to HttpSink::body; 0 leaves the backend's own.
  size_t bufferBytes = 0;
  // Goes out on the calling thread's kept connection when the previous
  // such request on this thread ended with the whole response, the server
  // left the connection open and it was to the same host and port; leaves
  // this one open for the next (ReleaseThreadState closes it). A connection
  // on which bytes wait past the end of the last answer (a body longer than
  // its Content-Length) is closed instead, so the next answer is read
  // clean. On Windows, WinHTTP keeps the connection in the pool of the
  // thread's kept session, and decides itself when one cannot be reused.
  bool keepConnection = false;
  // Under a speed limit: about the most this connection's answer may hold
  // unread in the system's receive buffer. Set before the connection opens
  // (only then does it also bound the window the server is offered), so
  // the sender waits for the reader instead of filling a queue that a stop
  // throws away. 0 leaves the system's own, which grows with the transfer.
  // A kept connection made with another value is closed and made anew.
  // WinHTTP offers no such setting: there it only chooses the connection.
  size_t receiveWindowBytes = 0;
  // The proxy to go through ("http://[user:password@]host:port", as
  // SystemProxy names it); empty for a direct connection. The request goes
  // through it as a tunnel (CONNECT), so TLS and the certificate check are
  // between the launcher and the service as on a direct connection, and
  // plain HTTP is refused for another machine just the same. This machine
  // (IsLoopbackHost) is always reached directly.
  std::string proxy;
};

// What is known of the response once its header has arrived.
struct HttpHead {
  uint32_t status = 0;
  int64_t contentLength = -1;  // -1 when the response does not announce it
  // First byte position of a Content-Range header of the form
  // "bytes FIRST-LAST/SIZE"; -1 when the header is missing or unreadable.
  int64_t rangeFirst = -1;
  // The seconds the server asks the client to wait before asking again
  // (Retry-After, in either of its forms, counted from when it arrived);
  // -1 when the header is missing or unreadable.
  int64_t retryAfterSeconds = -1;
};

// The caller's side of an exchange; any member may be left empty. A handler
// returning false ends the exchange at once with HttpEnd::Cancelled. The
// handlers run on the calling thread. Redirects are never followed: a 3xx
// answer comes to head() as its own status, with its own body, so no
// request ever leaves for an address the caller did not name.
struct HttpSink {
  // Called once a status was read, before the first body byte, or at the
  // end for a response without a body.
  std::function<bool(const HttpHead&)> head;
  // Called with every piece of the body in arrival order.
  std::function<bool(std::string_view bytes)> body;
  // Polled while waiting for the network, at least once a second, so a
  // pause or stop does not wait for the next piece; and within a few tens
  // of milliseconds of the network falling silent, so the caller can tell
  // the quiet after a burst even from a server that sends several a second.
  std::function<bool()> idle;
};

enum class HttpEnd {
  Complete,   // the whole response arrived
  Cancelled,  // a sink handler asked to stop
  BadReply,   // the server answered something that is not HTTP
  Failed,     // refused in clear, no connection, a time-out, or the response broke off
};

struct HttpResult {
  // The status code, or 0 when no status was read: refused in clear, no
  // connection, a failed TLS handshake or certificate, a failed send, a
  // time-out before the answer, a status line that is not HTTP; and when
  // timeouts.totalMs ran out, even if a status was read. A body that ends
  // early, stalls, or is stopped by the sink keeps the status; the sink has
  // then seen only what arrived.
  uint32_t status = 0;
  HttpEnd end = HttpEnd::Failed;
  // Why the exchange was refused, in a few words for the log: a server
  // certificate not accepted (and why), plain HTTP to another machine, a
  // redirect not followed. Empty for every other end: a silent network or
  // a status are the caller's to tell. Built from the failure and the
  // answer's head only, never from the request's body, headers or target.
  std::string reason;
};

// Why a server certificate was not accepted.
enum class CertificateProblem { UnknownAuthority, Expired, WrongName, Other };

// The reasons, in the same words from every backend.
inline constexpr char kRefusedInClearReason[] =
    "запрос не отправлен: без https допускается только этот компьютер";
// detail: the TLS library's own words, when it has any; bounded here.
std::string CertificateReason(CertificateProblem problem, std::string_view detail = {});
// Empty unless status is a redirect (301, 302, 303, 307, 308). Of location
// only the scheme, host and port are told: its path and query may carry
// anything, and user and password before the host are dropped.
std::string RedirectReason(uint32_t status, std::string_view location);

// Whether host is this machine by its very spelling: "localhost", "::1" or
// a dotted-quad 127.x.x.x. Plain HTTP goes nowhere else, so a password
// never crosses a network in clear; every backend refuses the rest before
// a byte is sent. Pure text work, shared by every backend.
bool IsLoopbackHost(std::string_view host);

// True when a request to host with that security must not leave at all.
inline bool RefusedInClear(std::string_view host, bool secure) { return !secure && !IsLoopbackHost(host); }

// The HTTP library's process-wide set-up, made before the first request and
// undone after the last. The launcher's context holds one for its run; a
// program without a context (a tool, a test) makes its own first.
class HttpLibrary {
 public:
  HttpLibrary();
  ~HttpLibrary();
  HttpLibrary(const HttpLibrary&) = delete;
  HttpLibrary& operator=(const HttpLibrary&) = delete;
};

// FIRST of a Content-Range value of the form "bytes FIRST-LAST/SIZE"
// (blanks around "bytes" allowed, the unit in any case); nothing for any
// other form, including the "bytes */SIZE" of a 416. Pure text work, shared
// by every backend.
std::optional<int64_t> ContentRangeFirst(std::string_view value);

// The seconds a Retry-After value asks for, at nowUnixSeconds: a count of
// seconds, or an HTTP date (IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT"),
// whose distance from now counts, 0 once it has passed. Blanks around the
// value are allowed; nothing for any other form. Counts beyond a day read
// as a day: no caller waits that long. Pure text work, shared by every
// backend.
std::optional<int64_t> RetryAfterSeconds(std::string_view value, int64_t nowUnixSeconds);

// RetryAfterSeconds at the system clock's now.
std::optional<int64_t> RetryAfterSecondsNow(std::string_view value);

// The target as it goes on the request line: a leading '/' when it has
// none, and the bytes a URL cannot carry at all (controls, space, non-ASCII,
// and '#', which would silently cut the target short) percent-encoded;
// everything else, dot segments included, as it stands. Shared by every
// backend.
std::string WireTarget(std::string_view target);

// What follows "bytes=" in the request's Range header ("N-" or "N-M"); empty
// when it asks for the whole body. Shared by every backend.
std::string RangeValue(const HttpRequest& request);

// Reason of an exchange the proxy would not carry (it refused the tunnel
// with that status, or could not be read); the proxy is named without its
// user or password.
std::string ProxyRefusalReason(std::string_view proxy, uint32_t status);

// Sends the request (through its proxy, if it names one) and hands the
// response to the sink.
HttpResult SendHttpRequest(const HttpRequest& request, const HttpSink& sink);

}  // namespace tarn

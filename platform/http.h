#pragma once
// One HTTP/1.1 request and its response (plain or over TLS), on a
// connection of its own. Nothing is shared between calls: no connection
// reuse, no cookies, no proxy. (The streaming GET of platform/download.h is
// set up the same way but keeps its connection for the next file.) The
// caller sees the response as it arrives, so small answers and large
// downloads go through the same road.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// How long each step of an exchange may take. The send and receive limits
// are stall limits: they end the exchange when no byte moves for that long,
// so a slow but steady transfer is never cut. totalMs bounds the whole
// exchange, from the start of the connection to the last body byte, so a
// server that trickles a byte now and then cannot hold a caller forever;
// 0 means no overall limit (downloads of any size).
struct HttpTimeouts {
  int resolveMs = 5000;
  int connectMs = 5000;
  int sendMs = 15000;
  int receiveMs = 30000;
  // The longest the whole exchange may take, from the first step to the
  // last body byte; 0 sets no such limit. It ends a server that drips one
  // byte just inside the stall limits. When it passes, the exchange ends
  // where it stands: before the status arrives that reads as no status,
  // after it as a body cut short.
  int totalMs = 0;
};

struct HttpRequest {
  std::string host;    // name or address, without scheme or port
  uint16_t port = 80;
  // TLS, with the server's certificate checked against the system's
  // authorities and its name against host. There is no way to turn the
  // check off.
  bool secure = false;
  std::string method;  // "GET", "POST", ...
  std::string target;  // path and query as they go on the request line
  // Extra header lines ("Name: value", no line end). Nothing else is added
  // beyond what HTTP itself needs (Host, Content-Length, the user agent):
  // no Accept, no Expect, no Content-Type unless given here.
  std::vector<std::string> headers;
  std::string_view body;  // sent in one piece; empty sends no body
  std::string userAgent;
  HttpTimeouts timeouts;
};

// Receives the response. Redirects are never followed: a 3xx answer comes
// back as it is, with its own status and body, so no request ever leaves
// for an address the caller did not name. Either member may be left empty.
struct HttpSink {
  // Called once before the first body byte, or at the end for a response
  // without a body. contentLength is -1 when the response does not announce
  // it. Returning false abandons the exchange.
  std::function<bool(uint32_t status, int64_t contentLength)> head;
  // Called with each piece of the body in arrival order. Returning false
  // stops reading.
  std::function<bool(std::string_view bytes)> body;
};

// Whether host is this machine by its very spelling: "localhost", "::1" or
// a dotted-quad 127.x.x.x. Plain HTTP goes nowhere else, so a password
// never crosses a network in clear; every backend refuses the rest before
// a byte is sent. Pure text work, shared by every backend.
bool IsLoopbackHost(std::string_view host);

// True when a request to host with that security must not leave at all.
inline bool RefusedInClear(std::string_view host, bool secure) { return !secure && !IsLoopbackHost(host); }

// Sends the request on a direct connection (the environment's proxy
// settings are ignored) and hands the response to the sink. Returns the
// status code, or 0 when no status was read: refused in clear (see
// IsLoopbackHost), no connection, a failed TLS handshake or certificate, a
// failed send, a time-out before the answer, or a status line that is not
// HTTP. A body that ends early, stalls, or is stopped by the sink still
// returns the status; the sink has then seen only what arrived. When
// timeouts.totalMs runs out the result is 0 even if a status was read: a
// caller that set an overall limit wants the whole answer in time or none
// of it.
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

uint32_t SendHttpRequest(const HttpRequest& request, const HttpSink& sink);

}  // namespace tarn

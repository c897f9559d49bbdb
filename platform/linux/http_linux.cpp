#include <curl/curl.h>
#include <strings.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>

#include "platform/http.h"
#include "platform/linux/curl_linux.h"

namespace tarn {
namespace {

using Clock = std::chrono::steady_clock;

#ifndef CURL_WRITEFUNC_ERROR
#define CURL_WRITEFUNC_ERROR 0xFFFFFFFF  // before libcurl 7.87 any short count is an error
#endif

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

thread_local Easy tKept;
// The receive window tKept's connection was made with (receiveWindowBytes).
thread_local size_t tKeptWindow = 0;

// libcurl's global set-up is made by the HttpLibrary of the launcher's
// context before any thread starts; without one, libcurl makes it on the
// first handle, under a lock of its own.
CURL* NewEasy() { return curl_easy_init(); }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

bool HasHeader(const std::vector<std::string>& headers, std::string_view name) {
  for (const std::string& h : headers)
    if (h.size() > name.size() && h[name.size()] == ':' && StartsWithNoCase(h, name)) return true;
  return false;
}

// Adds one "Name: value" line; false (list unchanged) when memory runs out.
bool AppendHeader(HeaderList& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (!grown) return false;
  list.release();
  list.reset(grown);
  return true;
}

// http://host:port/target (https:// when secure), the target as
// WireTarget has it.
std::string ServiceUrl(const std::string& host, uint16_t port, bool secure, const std::string& target) {
  std::string url = secure ? "https://" : "http://";
  const bool v6 = host.find(':') != std::string::npos;
  if (v6) url += '[';
  url += host;
  if (v6) url += ']';
  return url + ':' + std::to_string(port) + WireTarget(target);
}

// Bytes waiting on a kept connection between two exchanges can only be the
// rest of an answer that was longer than its framing said (a body past its
// Content-Length, say). The next answer would be read from them, so such a
// connection is closed rather than used again.
bool HoldsStrayBytes(CURL* easy) {
  curl_socket_t fd = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &fd) != CURLE_OK || fd == CURL_SOCKET_BAD) return false;
  char byte = 0;
  return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

// The thread's kept handle, made on first use: a transfer on it reuses the
// connection the previous one left open, unless that one holds stray bytes.
// A connection opened under another receive window keeps it: the window is
// fixed when the connection opens, so it is made anew instead.
CURL* KeptEasy(size_t window) {
  if (tKept && (HoldsStrayBytes(tKept.get()) || tKeptWindow != window)) tKept.reset();
  if (!tKept) {
    tKept.reset(NewEasy());
    tKeptWindow = window;
  }
  return tKept.get();
}

// Sets the receive buffer of a new connection before it connects: the
// window offered in the handshake then never outgrows it, where a buffer
// set later leaves a window the system has already grown. The system
// doubles the value for its own bookkeeping and holds up to about that of
// data, so half the window is asked for. A refusal leaves the system's
// own buffer; the limiter still holds the average.
int OnSocket(void* user, curl_socket_t fd, curlsocktype purpose) {
  if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKOPT_OK;
  const int size = static_cast<int>(*static_cast<const size_t*>(user) / 2);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  return CURL_SOCKOPT_OK;
}

// What the callbacks of one exchange share.
struct Exchange {
  CURL* handle = nullptr;
  const HttpSink* sink = nullptr;
  const HttpTimeouts* timeouts = nullptr;
  curl_off_t bodySize = 0;
  int64_t rangeFirst = -1;
  int64_t retryAfter = -1;
  // The last response's Location, bounded: only its start is ever told.
  std::string location;
  // libcurl's own words on a failure, for the log.
  char error[CURL_ERROR_SIZE] = {};
  bool headDone = false;
  bool cancelled = false;
  // Stall clocks: the last time a request byte left and a response byte
  // (header or body) arrived.
  curl_off_t lastSent = -1;
  Clock::time_point sentAt = Clock::now();
  Clock::time_point receivedAt = Clock::now();

  uint32_t Status() const {
    long status = 0;
    if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status <= 0) return 0;
    return static_cast<uint32_t>(status);
  }

  // Hands the head to the sink once, before the body. False when the sink
  // wants no body.
  bool Head() {
    if (headDone) return !cancelled;
    headDone = true;
    HttpHead head;
    head.status = Status();
    curl_off_t length = -1;
    if (curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) head.contentLength = length;
    head.rangeFirst = rangeFirst;
    head.retryAfterSeconds = retryAfter;
    if (sink->head && !sink->head(head)) cancelled = true;
    return !cancelled;
  }
};

size_t OnHeader(char* buffer, size_t size, size_t count, void* user) {
  auto* x = static_cast<Exchange*>(user);
  const std::string_view line(buffer, size * count);
  x->receivedAt = Clock::now();
  // Every status line starts a new response (an interim 100 comes first),
  // so only the last response's Content-Range and Retry-After count.
  if (StartsWithNoCase(line, "http/")) {
    x->rangeFirst = x->retryAfter = -1;
    x->location.clear();
  }
  if (StartsWithNoCase(line, "location:")) x->location = line.substr(9, 512);
  if (StartsWithNoCase(line, "content-range:")) x->rangeFirst = ContentRangeFirst(line.substr(14)).value_or(-1);
  if (StartsWithNoCase(line, "retry-after:")) x->retryAfter = RetryAfterSecondsNow(line.substr(12)).value_or(-1);
  return size * count;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* x = static_cast<Exchange*>(user);
  const size_t n = size * count;
  x->receivedAt = Clock::now();
  if (!x->Head()) return CURL_WRITEFUNC_ERROR;
  if (x->sink->body && !x->sink->body(std::string_view(data, n))) {
    x->cancelled = true;
    return CURL_WRITEFUNC_ERROR;
  }
  return n;
}

// libcurl has one stall limit for the whole exchange; the two phases get
// their own here. While request bytes are still going out the send limit
// applies, afterwards the receive limit, each measured from the last byte
// that moved in its direction. The sink's idle poll rides along: libcurl
// calls this at least once a second, silent network or not.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
  auto* x = static_cast<Exchange*>(user);
  if (x->sink->idle && !x->sink->idle()) {
    x->cancelled = true;
    return 1;
  }
  const Clock::time_point now = Clock::now();
  if (ulnow != x->lastSent) {
    x->lastSent = ulnow;
    x->sentAt = now;
    if (ulnow >= x->bodySize) x->receivedAt = now;  // waiting for the answer starts now
  }
  using std::chrono::milliseconds;
  if (ulnow < x->bodySize) return now - x->sentAt > milliseconds(x->timeouts->sendMs) ? 1 : 0;
  return now - x->receivedAt > milliseconds(x->timeouts->receiveMs) ? 1 : 0;
}

bool UsesProxy(const HttpRequest& r) { return !r.proxy.empty() && !IsLoopbackHost(r.host); }

// Returns h to libcurl's defaults (its open connection stays) and sets what
// every exchange shares: HTTP/1.1 (over TLS with the system's authorities
// and a checked name when secure), no proxy whatever the environment says,
// no redirect ever followed, no signals, the target sent as it stands.
bool ApplyBasics(CURL* h, const HttpRequest& r, const std::string& url, curl_slist* headers) {
  curl_easy_reset(h);
  bool ok = curl_easy_setopt(h, CURLOPT_URL, url.c_str()) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, r.secure ? "https" : "http") == CURLE_OK;
  // libcurl's defaults already check both, against the system's store; set
  // here so that no later change of defaults can loosen them.
  ok = ok && curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
  // libcurl would read http_proxy, ALL_PROXY and the like on its own: only
  // the proxy the request names is used, always as a tunnel, and never for
  // this machine; otherwise an empty proxy and a bypass for all.
  if (UsesProxy(r)) {
    ok = ok && curl_easy_setopt(h, CURLOPT_PROXY, r.proxy.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_NOPROXY, "") == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_HTTPPROXYTUNNEL, 1L) == CURLE_OK;
  } else {
    ok = ok && curl_easy_setopt(h, CURLOPT_PROXY, "") == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_NOPROXY, "*") == CURLE_OK;
  }
  ok = ok && curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK;
  // A redirect would carry the request, a stored password in its body
  // included, to whatever address the answer names.
  ok = ok && curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_USERAGENT, r.userAgent.c_str()) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers) == CURLE_OK;
  // The resolver has no limit of its own in libcurl: name lookup and
  // connection share one.
  const long connectMs = static_cast<long>(r.timeouts.resolveMs) + r.timeouts.connectMs;
  ok = ok && curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connectMs) == CURLE_OK;
  if (r.timeouts.totalMs > 0)
    ok = ok && curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(r.timeouts.totalMs)) == CURLE_OK;
  return ok;
}

// The method and body. POSTFIELDS does not copy: the body outlives the call.
bool ApplyMethod(CURL* h, const HttpRequest& r) {
  const std::string& method = r.method;
  bool ok = true;
  if (!r.body.empty() || method == "POST") {
    ok = ok && curl_easy_setopt(h, CURLOPT_POSTFIELDS, r.body.empty() ? "" : r.body.data()) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size())) == CURLE_OK;
    if (method != "POST") ok = ok && curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str()) == CURLE_OK;
  } else if (method == "GET") {
    ok = ok && curl_easy_setopt(h, CURLOPT_HTTPGET, 1L) == CURLE_OK;
  } else if (method == "HEAD") {
    ok = ok && curl_easy_setopt(h, CURLOPT_NOBODY, 1L) == CURLE_OK;
  } else {
    ok = ok && curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str()) == CURLE_OK;
  }
  return ok;
}

bool ApplyCallbacks(CURL* h, Exchange& x) {
  bool ok = curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, OnProgress) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_XFERINFODATA, &x) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, OnHeader) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_HEADERDATA, &x) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnBody) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_WRITEDATA, &x) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_ERRORBUFFER, x.error) == CURLE_OK;
  return ok;
}

// The handle one exchange runs on. The thread's kept handle lets the next
// file of a task go out on the connection this one leaves open, without a
// new handshake or slow start; otherwise own gets a fresh one.
CURL* HandleFor(const HttpRequest& request, Easy& own) {
  if (!request.keepConnection) own.reset(NewEasy());
  return request.keepConnection ? KeptEasy(request.receiveWindowBytes) : own.get();
}

// The caller's header lines as libcurl takes them; false when memory runs
// out.
bool BuildHeaders(const std::vector<std::string>& lines, HeaderList& headers) {
  for (const std::string& line : lines)
    if (!AppendHeader(headers, line)) return false;
  // libcurl adds these on its own; an empty value removes them so the
  // request carries only what the caller asked for.
  for (const char* name : {"Accept", "Expect", "Content-Type"})
    if (!HasHeader(lines, name) && !AppendHeader(headers, std::string(name) + ":")) return false;
  return true;
}

// Everything h needs for this request, callbacks into x included. libcurl
// copies the URL and range strings, so they may end with this call.
bool Prepare(CURL* h, const HttpRequest& request, Exchange& x, curl_slist* headers) {
  const std::string url = ServiceUrl(request.host, request.port, request.secure, request.target);
  const std::string range = RangeValue(request);
  bool ok = ApplyBasics(h, request, url, headers) && ApplyMethod(h, request) && ApplyCallbacks(h, x);
  if (!range.empty()) ok = ok && curl_easy_setopt(h, CURLOPT_RANGE, range.c_str()) == CURLE_OK;
  if (request.bufferBytes > 0)
    ok = ok && curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(request.bufferBytes)) == CURLE_OK;
  if (request.receiveWindowBytes > 0) {
    ok = ok && curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, OnSocket) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_SOCKOPTDATA, &request.receiveWindowBytes) == CURLE_OK;
  }
  return ok;
}

// What OpenSSL's verification said of a refused certificate. libcurl
// checks the name itself once the chain is accepted, and says so only in
// its own words ("... subject name ..."); the verify result is then
// whatever libcurl left there.
CertificateProblem ProblemOf(CURL* h, std::string_view error) {
  long verify = 0;
  if (curl_easy_getinfo(h, CURLINFO_SSL_VERIFYRESULT, &verify) != CURLE_OK) verify = -1;
  switch (verify) {
    case 9:   // X509_V_ERR_CERT_NOT_YET_VALID
    case 10:  // X509_V_ERR_CERT_HAS_EXPIRED
      return CertificateProblem::Expired;
    case 2:   // X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT
    case 18:  // X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT
    case 19:  // X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN
    case 20:  // X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY
    case 21:  // X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE
    case 27:  // X509_V_ERR_CERT_UNTRUSTED
      return CertificateProblem::UnknownAuthority;
    case 62:  // X509_V_ERR_HOSTNAME_MISMATCH
      return CertificateProblem::WrongName;
    default:
      return error.find("subject name") != std::string_view::npos ? CertificateProblem::WrongName
                                                                   : CertificateProblem::Other;
  }
}

HttpResult Ended(Exchange& x, CURLcode code, const HttpRequest& request) {
  // The stall limits end a transfer through the progress callback, so a
  // time-out here is the overall limit (or the connect limit, before any
  // status): either way the answer did not come whole in time.
  if (code == CURLE_OPERATION_TIMEDOUT && request.timeouts.totalMs > 0) return {0, HttpEnd::Failed, {}};
  const uint32_t status = x.Status();
  if (x.cancelled) return {status, HttpEnd::Cancelled, {}};
  if (code == CURLE_WEIRD_SERVER_REPLY || code == CURLE_UNSUPPORTED_PROTOCOL)  // the latter: an HTTP/0.9 answer
    return {status, HttpEnd::BadReply, {}};
  // A body cut short or stalled still leaves the status that was read.
  if (code != CURLE_OK) return {status, HttpEnd::Failed, {}};
  if (status == 0) return {0, HttpEnd::BadReply, {}};
  // A response without a body never reached the body handler.
  if (!x.Head()) return {status, HttpEnd::Cancelled, {}};
  return {status, HttpEnd::Complete, {}};
}

// Outcome, with the reason of a refusal: a certificate not accepted, or a
// redirect that came back as an answer of its own.
HttpResult Outcome(Exchange& x, CURLcode code, const HttpRequest& request) {
  HttpResult result = Ended(x, code, request);
  // A tunnel the proxy would not open is no answer of the service: its
  // status must not pass for one.
  long tunnel = 0;
  if (UsesProxy(request) && curl_easy_getinfo(x.handle, CURLINFO_HTTP_CONNECTCODE, &tunnel) == CURLE_OK &&
      tunnel != 0 && tunnel / 100 != 2)
    return {0, HttpEnd::Failed, ProxyRefusalReason(request.proxy, static_cast<uint32_t>(tunnel))};
  if (code == CURLE_PEER_FAILED_VERIFICATION)
    result.reason = CertificateReason(ProblemOf(x.handle, x.error), x.error);
  else if (result.status != 0)
    result.reason = RedirectReason(result.status, x.location);
  return result;
}

}  // namespace

HttpLibrary::HttpLibrary() { curl_global_init(CURL_GLOBAL_DEFAULT); }
HttpLibrary::~HttpLibrary() { curl_global_cleanup(); }

void ReleaseKeptEasy() { tKept.reset(); }

HttpResult SendHttpRequest(const HttpRequest& request, const HttpSink& sink) {
  if (RefusedInClear(request.host, request.secure)) return {.reason = kRefusedInClearReason};
  Easy own;
  CURL* h = HandleFor(request, own);
  if (!h) return {};

  Exchange x;
  x.handle = h;
  x.sink = &sink;
  x.timeouts = &request.timeouts;
  x.bodySize = static_cast<curl_off_t>(request.body.size());
  HeaderList headers;
  if (!BuildHeaders(request.headers, headers) || !Prepare(h, request, x, headers.get())) return {};

  const HttpResult result = Outcome(x, curl_easy_perform(h), request);
  // A kept handle outlives x and request: it must point at neither once
  // this exchange is over (its clean-up at the thread's end may still
  // write an error text or open nothing more).
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, nullptr);
  curl_easy_setopt(h, CURLOPT_SOCKOPTDATA, nullptr);
  // The rest of an overlong answer may have come after that answer ended.
  if (request.keepConnection && HoldsStrayBytes(h)) ReleaseKeptEasy();
  return result;
}

}  // namespace tarn

#include <curl/curl.h>

#include <algorithm>
#include <chrono>

#include "platform/http.h"
#include "platform/linux/curl_linux.h"

namespace tarn {
namespace {

using Clock = std::chrono::steady_clock;

#ifndef CURL_WRITEFUNC_ERROR
#define CURL_WRITEFUNC_ERROR 0xFFFFFFFF  // before libcurl 7.87 any short count is an error
#endif

bool HasHeader(const std::vector<std::string>& headers, std::string_view name) {
  for (const std::string& h : headers) {
    if (h.size() <= name.size() || h[name.size()] != ':') continue;
    if (std::equal(name.begin(), name.end(), h.begin(),
                   [](char a, char b) { return (a | 0x20) == (b | 0x20); }))
      return true;
  }
  return false;
}

// What the callbacks of one exchange share.
struct Exchange {
  CURL* handle = nullptr;
  const HttpSink* sink = nullptr;
  const HttpTimeouts* timeouts = nullptr;
  curl_off_t bodySize = 0;
  bool headDone = false;
  bool headRefused = false;
  // Stall clocks: the last time a request byte left and a response byte
  // (header or body) arrived.
  curl_off_t lastSent = -1;
  Clock::time_point sentAt = Clock::now();
  Clock::time_point receivedAt = Clock::now();
  bool sendStalled = false;
  bool receiveStalled = false;

  // Hands the status to the sink once, before the body.
  bool Head() {
    if (headDone) return !headRefused;
    headDone = true;
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    curl_off_t length = -1;
    if (curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK) length = -1;
    if (sink->head) headRefused = !sink->head(static_cast<uint32_t>(status), static_cast<int64_t>(length));
    return !headRefused;
  }
};

size_t OnHeader(char*, size_t size, size_t count, void* user) {
  static_cast<Exchange*>(user)->receivedAt = Clock::now();
  return size * count;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* x = static_cast<Exchange*>(user);
  const size_t n = size * count;
  x->receivedAt = Clock::now();
  if (!x->Head()) return CURL_WRITEFUNC_ERROR;
  if (x->sink->body && !x->sink->body(std::string_view(data, n))) return CURL_WRITEFUNC_ERROR;
  return n;
}

// libcurl has one stall limit for the whole exchange; the two phases get
// their own here. While request bytes are still going out the send limit
// applies, afterwards the receive limit, each measured from the last byte
// that moved in its direction.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
  auto* x = static_cast<Exchange*>(user);
  const Clock::time_point now = Clock::now();
  if (ulnow != x->lastSent) {
    x->lastSent = ulnow;
    x->sentAt = now;
    if (ulnow >= x->bodySize) x->receivedAt = now;  // waiting for the answer starts now
  }
  using std::chrono::milliseconds;
  if (ulnow < x->bodySize) {
    if (now - x->sentAt > milliseconds(x->timeouts->sendMs)) {
      x->sendStalled = true;
      return 1;
    }
  } else if (now - x->receivedAt > milliseconds(x->timeouts->receiveMs)) {
    x->receiveStalled = true;
    return 1;
  }
  return 0;
}

}  // namespace

uint32_t SendHttpRequest(const HttpRequest& request, const HttpSink& sink) {
  if (RefusedInClear(request.host, request.secure)) return 0;
  Easy easy(curl_easy_init());
  if (!easy) return 0;
  CURL* h = easy.get();

  Exchange x;
  x.handle = h;
  x.sink = &sink;
  x.timeouts = &request.timeouts;
  x.bodySize = static_cast<curl_off_t>(request.body.size());

  HeaderList headers;
  for (const std::string& line : request.headers)
    if (!AppendHeader(headers, line)) return 0;
  // libcurl adds these on its own; an empty value removes them so the
  // request carries only what the caller asked for.
  for (const char* name : {"Accept", "Expect", "Content-Type"})
    if (!HasHeader(request.headers, name) && !AppendHeader(headers, std::string(name) + ":")) return 0;

  const std::string& method = request.method;
  CurlBasics basics;
  basics.url = ServiceUrl(request.host, request.port, request.secure, request.target);
  basics.secure = request.secure;
  basics.userAgent = request.userAgent;
  basics.headers = headers.get();
  basics.connectMs = static_cast<long>(request.timeouts.resolveMs) + request.timeouts.connectMs;
  basics.totalMs = request.timeouts.totalMs > 0 ? request.timeouts.totalMs : 0;
  bool ok = ApplyBasics(h, basics);
  ok = ok && curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, OnProgress) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_XFERINFODATA, &x) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, OnHeader) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_HEADERDATA, &x) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnBody) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_WRITEDATA, &x) == CURLE_OK;
  if (!request.body.empty() || method == "POST") {
    // POSTFIELDS does not copy: the body outlives the call.
    ok = ok && curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.empty() ? "" : request.body.data()) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, x.bodySize) == CURLE_OK;
    if (method != "POST") ok = ok && curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str()) == CURLE_OK;
  } else if (method == "GET") {
    ok = ok && curl_easy_setopt(h, CURLOPT_HTTPGET, 1L) == CURLE_OK;
  } else if (method == "HEAD") {
    ok = ok && curl_easy_setopt(h, CURLOPT_NOBODY, 1L) == CURLE_OK;
  } else {
    ok = ok && curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str()) == CURLE_OK;
  }
  if (!ok) return 0;

  // The outcome of the transfer itself does not decide the result: a body
  // cut short or stopped by the sink still leaves the status that was read.
  const CURLcode code = curl_easy_perform(h);
  // The stall limits end a transfer through the progress callback, so a
  // time-out here is the overall limit (or the connect limit, before any
  // status): either way the answer did not come whole in time.
  if (code == CURLE_OPERATION_TIMEDOUT && request.timeouts.totalMs > 0) return 0;
  long status = 0;
  if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status <= 0) return 0;
  if (!x.headDone) x.Head();
  return static_cast<uint32_t>(status);
}

}  // namespace tarn

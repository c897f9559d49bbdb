#pragma once
// The one place the Linux backend sets up a libcurl transfer to the
// service, shared by the small requests and the streaming downloads so the
// two can never drift apart on proxies, redirects or time-outs. Internal to
// the backend.
#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <string>

namespace tarn {

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

// Adds one "Name: value" line; false (list unchanged) when memory runs out.
bool AppendHeader(HeaderList& list, const std::string& line);

// http://host:port/target (https:// when secure); bytes a URL cannot carry at all (controls,
// space, non-ASCII, and '#', which would silently cut the target short)
// are percent-encoded, everything else goes on the wire as it stands.
std::string ServiceUrl(const std::string& host, uint16_t port, bool secure, const std::string& target);

struct CurlBasics {
  std::string url;
  bool secure = false;  // the scheme of url: only that protocol is allowed
  std::string userAgent;
  curl_slist* headers = nullptr;  // owned by the caller, alive until the transfer ends
  long connectMs = 0;             // name lookup and connection together
  long totalMs = 0;               // 0: no overall limit
};

// Returns easy to libcurl's defaults (its open connection stays) and sets
// what every exchange with the service shares: HTTP/1.1 (over TLS with the
// system's authorities and a checked name when secure), no proxy
// whatever the environment says, no redirect ever followed, no signals,
// the target sent as it stands. False when an option is refused.
bool ApplyBasics(CURL* easy, const CurlBasics& basics);

// The calling thread's kept handle, made on first use: a transfer on it
// reuses the connection the previous one left open. Null when none can be
// made.
CURL* KeptEasy();

// Closes the calling thread's kept handle and its connection.
void ReleaseKeptEasy();

}  // namespace tarn

#include "platform/linux/curl_linux.h"

#include "platform/http.h"

namespace tarn {
namespace {

thread_local Easy tKept;

}  // namespace

HttpLibrary::HttpLibrary() { curl_global_init(CURL_GLOBAL_DEFAULT); }
HttpLibrary::~HttpLibrary() { curl_global_cleanup(); }

bool AppendHeader(HeaderList& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (!grown) return false;
  list.release();
  list.reset(grown);
  return true;
}

std::string ServiceUrl(const std::string& host, uint16_t port, bool secure, const std::string& target) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string url = secure ? "https://" : "http://";
  const bool v6 = host.find(':') != std::string::npos;
  if (v6) url += '[';
  url += host;
  if (v6) url += ']';
  url += ':' + std::to_string(port);
  if (target.empty() || target.front() != '/') url += '/';
  for (unsigned char c : target) {
    if (c <= 0x20 || c >= 0x7F || c == '#') {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 0xF];
    } else {
      url += static_cast<char>(c);
    }
  }
  return url;
}

bool ApplyBasics(CURL* h, const CurlBasics& b) {
  curl_easy_reset(h);
  bool ok = curl_easy_setopt(h, CURLOPT_URL, b.url.c_str()) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, b.secure ? "https" : "http") == CURLE_OK;
  // libcurl's defaults already check both, against the system's store; set
  // here so that no later change of defaults can loosen them.
  ok = ok && curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
  // The environment's http_proxy, ALL_PROXY and the like must never route
  // the launcher's traffic elsewhere: an empty proxy and a bypass for all.
  ok = ok && curl_easy_setopt(h, CURLOPT_PROXY, "") == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_NOPROXY, "*") == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK;
  // A redirect would carry the request, a stored password in its body
  // included, to whatever address the answer names.
  ok = ok && curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_USERAGENT, b.userAgent.c_str()) == CURLE_OK;
  ok = ok && curl_easy_setopt(h, CURLOPT_HTTPHEADER, b.headers) == CURLE_OK;
  // The resolver has no limit of its own in libcurl: name lookup and
  // connection share one.
  ok = ok && curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, b.connectMs) == CURLE_OK;
  if (b.totalMs > 0) ok = ok && curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, b.totalMs) == CURLE_OK;
  return ok;
}

CURL* KeptEasy() {
  if (!tKept) {
    tKept.reset(curl_easy_init());
  }
  return tKept.get();
}

void ReleaseKeptEasy() { tKept.reset(); }

}  // namespace tarn

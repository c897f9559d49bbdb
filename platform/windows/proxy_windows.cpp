#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <optional>
#include <string>

#include "platform/http.h"
#include "platform/proxy.h"
#include "platform/windows/wide.h"

namespace tarn {
namespace {

// The strings WinHTTP hands over belong to the caller, to be freed with
// GlobalFree.
struct OwnedText {
  LPWSTR text = nullptr;
  ~OwnedText() {
    if (text) GlobalFree(text);
  }
  std::string Utf8() const { return text ? FromWide(text) : std::string(); }
};

struct UserSettings {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG raw{};
  OwnedText autoConfigUrl, proxy, bypass;
  bool Read() {
    if (!WinHttpGetIEProxyConfigForCurrentUser(&raw)) return false;
    autoConfigUrl.text = raw.lpszAutoConfigUrl;
    proxy.text = raw.lpszProxy;
    bypass.text = raw.lpszProxyBypass;
    return true;
  }
};

struct Session {
  HINTERNET handle = nullptr;
  ~Session() {
    if (handle) WinHttpCloseHandle(handle);
  }
};

// What the automatic configuration (a script at a named address, or one
// found on the network) says for url; nothing when it cannot say.
std::optional<std::string> AutomaticProxy(const UserSettings& settings, const std::wstring& url, bool secure) {
  Session session;
  session.handle = WinHttpOpen(L"", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session.handle) return std::nullopt;
  WINHTTP_AUTOPROXY_OPTIONS options{};
  if (settings.raw.lpszAutoConfigUrl) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = settings.raw.lpszAutoConfigUrl;
  }
  if (settings.raw.fAutoDetect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  options.fAutoLogonIfChallenged = TRUE;
  WINHTTP_PROXY_INFO info{};
  if (!WinHttpGetProxyForUrl(session.handle, url.c_str(), &options, &info)) return std::nullopt;
  const OwnedText proxy{info.lpszProxy}, bypass{info.lpszProxyBypass};
  if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY) return std::string();
  return ProxyFromWinHttpList(proxy.Utf8(), secure);
}

// The last answer on this thread, for a minute: the automatic
// configuration may look for its script on the network each time it is
// asked, and a download asks for every file.
struct Remembered {
  std::string host;
  uint16_t port = 0;
  bool secure = false;
  std::optional<std::string> proxy;
  std::chrono::steady_clock::time_point at;
};
thread_local std::optional<Remembered> tLast;

std::optional<std::string> ReadSystemProxy(std::string_view host, uint16_t port, bool secure) {
  UserSettings settings;
  if (!settings.Read()) return std::nullopt;
  if (settings.raw.fAutoDetect || settings.raw.lpszAutoConfigUrl) {
    const bool v6 = host.find(':') != std::string_view::npos;
    const std::string url = std::string(secure ? "https://" : "http://") + (v6 ? "[" : "") + std::string(host) +
                            (v6 ? "]" : "") + ":" + std::to_string(port) + "/";
    if (std::optional<std::string> found = AutomaticProxy(settings, ToWide(url), secure)) return found;
  }
  if (!settings.raw.lpszProxy) return std::nullopt;
  if (WinHttpBypassCovers(settings.bypass.Utf8(), host)) return std::string();
  return ProxyFromWinHttpList(settings.proxy.Utf8(), secure);
}

}  // namespace

// The user's settings as WinHTTP reads them: the automatic configuration
// first, as the system's own programs do, then the manual proxy and its
// bypass list.
std::optional<std::string> SystemProxy(std::string_view host, uint16_t port, bool secure) {
  if (IsLoopbackHost(host)) return std::string();
  const auto now = std::chrono::steady_clock::now();
  if (tLast && tLast->host == host && tLast->port == port && tLast->secure == secure &&
      now - tLast->at < std::chrono::minutes(1))
    return tLast->proxy;
  tLast = Remembered{std::string(host), port, secure, ReadSystemProxy(host, port, secure), now};
  return tLast->proxy;
}

}  // namespace tarn

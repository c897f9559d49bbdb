#pragma once
// One WinHTTP request, run asynchronously but
// driven from the calling thread: every step is started here and waited
// for here in short slices, so the caller can give up between two slices
// (a pause, a stop, an overall limit) even while the network is silent.
// Internal to the Windows backend.
#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

struct WinHttpTarget {
  std::string host;
  uint16_t port = 0;
  bool secure = false;  // TLS; WinHTTP checks the certificate against the system's store
  std::string method;
  std::string target;
  std::string userAgent;
  int resolveMs = 0;
  int connectMs = 0;
  int sendMs = 0;
  int receiveMs = 0;
  // The proxy as HttpRequest::proxy names it; empty, or this machine as
  // the host, for a direct connection.
  std::string proxy;
};

class WinHttpExchange {
 public:
  // Asked between two waiting slices; false ends the exchange.
  using Poll = std::function<bool()>;
  enum class Step { Done, Failed, Stopped };
  static constexpr DWORD kSliceMs = 200;
  // The first slice of every wait is short: a step that outlasts it has
  // met a quiet moment on the network (the server's burst has landed), and
  // the caller hears of it then, not only after a whole slice of silence,
  // which a server sending every few tens of milliseconds never leaves.
  static constexpr DWORD kQuietMs = 20;

  WinHttpExchange();
  // Closes every handle and returns at once; a step still under way ends
  // on its own, and its callbacks find what they need until then.
  ~WinHttpExchange();
  WinHttpExchange(const WinHttpExchange&) = delete;
  WinHttpExchange& operator=(const WinHttpExchange&) = delete;

  // Session (through the target's proxy, if any), time-outs, connection
  // and request; redirects and cookies are turned off. False when any of them cannot be made.
  bool Open(const WinHttpTarget& target);
  // The same on a session and connection the caller keeps (KeptWinHttp):
  // WinHTTP gives the request the connection the last one left in its
  // pool, and only the request is this exchange's to close.
  bool Open(const WinHttpTarget& target, HINTERNET session, HINTERNET connection);
  // After which waiting gives up with Step::Stopped; none by default.
  void SetDeadline(std::chrono::steady_clock::time_point deadline) { deadline_ = deadline; }
  bool AddHeader(const std::wstring& line);
  // Sends the header lines ("Name: value", each without a line end) and
  // the body, and waits for the response head.
  Step Send(const std::vector<std::string>& headers, std::string_view body, const Poll& poll);
  // How many body bytes can be read now; 0 at the end of the body.
  Step Available(DWORD& bytes, const Poll& poll);
  // Reads at most size bytes; piece stays valid until the next Read.
  Step Read(DWORD size, std::string_view& piece, const Poll& poll);

  // The status number, or 0 when there is none.
  uint32_t Status() const;
  // The announced Content-Length, or -1.
  int64_t ContentLength() const;
  // A response header's value as sent (ASCII), or nothing.
  bool Header(DWORD query, std::string& value) const;
  // The WinHTTP error of the last failed step.
  DWORD error() const { return error_; }

 private:
  struct Shared;
  Step Wait(const Poll& poll);
  bool PastDeadline();

  bool OpenRequest(const WinHttpTarget& target);

  Shared* shared_;
  bool borrowed_ = false;  // session_ and connection_ are the caller's
  HINTERNET session_ = nullptr;
  HINTERNET connection_ = nullptr;
  HINTERNET request_ = nullptr;
  DWORD error_ = 0;
  std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
};

// The calling thread's kept session and connection for one endpoint
// (asynchronous, through the target's proxy, if any), made on first use
// and again whenever the endpoint, the proxy or the agent changes; false when they cannot be made. WinHTTP
// keeps the connection open between requests made on them (and over TLS,
// its session). ReleaseThreadState closes them.
bool KeptWinHttp(const WinHttpTarget& target, HINTERNET& session, HINTERNET& connection);
void ReleaseKeptWinHttp();

}  // namespace tarn

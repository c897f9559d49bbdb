#include "platform/windows/winhttp_exchange.h"

#include <atomic>
#include <algorithm>
#include <charconv>

#include "platform/http.h"
#include "platform/proxy.h"
#include "platform/windows/wide.h"

namespace tarn {

// What the WinHTTP callback thread and the calling thread share. The event
// is the only hand-over: the callback writes the fields, then sets `done`.
// Both sides hold a reference: an abandoned exchange returns at once, and
// the request's last callback (its closing) frees what is left, however
// long the system takes to give up a step under way.
struct WinHttpExchange::Shared {
  HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  DWORD info = 0;
  DWORD error = 0;
  std::atomic<int> refs{1};
  // What the system reads from or writes into while a step is under way:
  // kept here, so a step that outlives its caller never touches freed memory.
  std::string body;
  std::vector<char> piece;
  ~Shared() {
    if (done) CloseHandle(done);
  }
  static void Release(Shared* s) {
    if (--s->refs == 0) delete s;
  }

  static void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD code, LPVOID info, DWORD length) {
    auto* s = reinterpret_cast<Shared*>(context);
    if (!s) return;
    switch (code) {
      case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        s->error = 0;
        SetEvent(s->done);
        break;
      case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        s->info = info && length >= sizeof(DWORD) ? *static_cast<DWORD*>(info) : 0;
        s->error = 0;
        SetEvent(s->done);
        break;
      case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        s->info = length;
        s->error = 0;
        SetEvent(s->done);
        break;
      case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
        const auto* result = static_cast<WINHTTP_ASYNC_RESULT*>(info);
        s->error = result && result->dwError ? result->dwError : ERROR_WINHTTP_INTERNAL_ERROR;
        SetEvent(s->done);
        break;
      }
      case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        Release(s);
        break;
      default:
        break;
    }
  }
};

WinHttpExchange::WinHttpExchange() : shared_(new Shared) {}

namespace {

// The proxy as WinHTTP names it ("host:port": Wine reads no scheme there),
// without the user and password that go on the request; empty for a
// direct connection.
std::wstring ProxyName(const WinHttpTarget& t) {
  if (t.proxy.empty() || IsLoopbackHost(t.host)) return {};
  const std::optional<ProxyParts> parts = ParseProxy(t.proxy);
  if (!parts) return {};
  const bool v6 = parts->host.find(':') != std::string::npos;
  return ToWide((v6 ? "[" + parts->host + "]" : parts->host) + ":" + std::to_string(parts->port));
}

// The session never reads the system's settings itself: only the proxy
// the request names is used (this machine never gets one, see ProxyName).
HINTERNET OpenSession(const WinHttpTarget& t) {
  const std::wstring proxy = ProxyName(t);
  if (proxy.empty())
    return WinHttpOpen(ToWide(t.userAgent).c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                       WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
  return WinHttpOpen(ToWide(t.userAgent).c_str(), WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str(), WINHTTP_NO_PROXY_BYPASS,
                     WINHTTP_FLAG_ASYNC);
}

struct KeptHandles {
  std::string host;
  uint16_t port = 0;
  bool secure = false;
  std::string userAgent;
  std::string proxy;
  HINTERNET session = nullptr;
  HINTERNET connection = nullptr;

  void Close() {
    if (connection) WinHttpCloseHandle(connection);
    if (session) WinHttpCloseHandle(session);
    connection = session = nullptr;
  }
  ~KeptHandles() { Close(); }
};

thread_local KeptHandles tKept;

}  // namespace

bool KeptWinHttp(const WinHttpTarget& t, HINTERNET& session, HINTERNET& connection) {
  if (!tKept.connection || tKept.host != t.host || tKept.port != t.port || tKept.secure != t.secure ||
      tKept.userAgent != t.userAgent || tKept.proxy != t.proxy) {
    tKept.Close();
    tKept.session = OpenSession(t);
    if (tKept.session) tKept.connection = WinHttpConnect(tKept.session, ToWide(t.host).c_str(), t.port, 0);
    if (!tKept.connection) {
      tKept.Close();
      return false;
    }
    tKept.host = t.host;
    tKept.port = t.port;
    tKept.secure = t.secure;
    tKept.userAgent = t.userAgent;
    tKept.proxy = t.proxy;
  }
  session = tKept.session;
  connection = tKept.connection;
  return true;
}

void ReleaseKeptWinHttp() { tKept.Close(); }

WinHttpExchange::~WinHttpExchange() {
  if (request_) WinHttpCloseHandle(request_);
  if (!borrowed_ && connection_) WinHttpCloseHandle(connection_);
  if (!borrowed_ && session_) WinHttpCloseHandle(session_);
  Shared::Release(shared_);
}

bool WinHttpExchange::Open(const WinHttpTarget& t) {
  if (!shared_->done || RefusedInClear(t.host, t.secure)) return false;
  session_ = OpenSession(t);
  if (!session_) return false;
  connection_ = WinHttpConnect(session_, ToWide(t.host).c_str(), t.port, 0);
  if (!connection_) return false;
  return OpenRequest(t);
}

bool WinHttpExchange::Open(const WinHttpTarget& t, HINTERNET session, HINTERNET connection) {
  if (!shared_->done || RefusedInClear(t.host, t.secure)) return false;
  borrowed_ = true;
  session_ = session;
  connection_ = connection;
  return OpenRequest(t);
}

bool WinHttpExchange::OpenRequest(const WinHttpTarget& t) {
  request_ = WinHttpOpenRequest(connection_, ToWide(t.method).c_str(), ToWide(WireTarget(t.target)).c_str(),
                                nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                t.secure ? WINHTTP_FLAG_SECURE : 0);
  if (!request_) return false;
  // On the request, not the session: a kept session serves requests with
  // different limits.
  if (!WinHttpSetTimeouts(request_, t.resolveMs, t.connectMs, t.sendMs, t.receiveMs)) return false;
  // The context reaches every callback of the request, its closing included.
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(shared_);
  if (!WinHttpSetOption(request_, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) return false;
  // The reference the request's closing callback gives back.
  ++shared_->refs;
  if (WinHttpSetStatusCallback(request_, &Shared::OnStatus,
                               WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                               0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    --shared_->refs;
    return false;
  }
  // A redirect would send the request to an address the caller never
  // named; the caller sees the 3xx instead. No cookie outlives a call, and
  // none should ride along within one either.
  DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  if (!WinHttpSetOption(request_, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never)) return false;
  DWORD noCookies = WINHTTP_DISABLE_COOKIES;
  WinHttpSetOption(request_, WINHTTP_OPTION_DISABLE_FEATURE, &noCookies, sizeof noCookies);
  // The proxy's user and password, when its address carries them, answer
  // its challenge; they go nowhere else.
  if (const std::optional<ProxyParts> parts = ProxyName(t).empty() ? std::nullopt : ParseProxy(t.proxy);
      parts && !parts->user.empty()) {
    const std::wstring user = ToWide(parts->user), password = ToWide(parts->password);
    if (!WinHttpSetOption(request_, WINHTTP_OPTION_PROXY_USERNAME, const_cast<wchar_t*>(user.c_str()),
                          static_cast<DWORD>(user.size())) ||
        !WinHttpSetOption(request_, WINHTTP_OPTION_PROXY_PASSWORD, const_cast<wchar_t*>(password.c_str()),
                          static_cast<DWORD>(password.size())))
      return false;
  }
  return true;
}

bool WinHttpExchange::AddHeader(const std::wstring& line) {
  return WinHttpAddRequestHeaders(request_, line.c_str(), static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD) != 0;
}

bool WinHttpExchange::PastDeadline() {
  if (std::chrono::steady_clock::now() < deadline_) return false;
  error_ = ERROR_WINHTTP_TIMEOUT;
  return true;
}

WinHttpExchange::Step WinHttpExchange::Wait(const Poll& poll) {
  for (DWORD slice = kQuietMs;; slice = kSliceMs) {
    const DWORD waited = WaitForSingleObject(shared_->done, slice);
    if (waited == WAIT_OBJECT_0) {
      error_ = shared_->error;
      return error_ ? Step::Failed : Step::Done;
    }
    if (waited != WAIT_TIMEOUT) {
      error_ = GetLastError();
      return Step::Failed;
    }
    if (PastDeadline() || (poll && !poll())) return Step::Stopped;
  }
}

WinHttpExchange::Step WinHttpExchange::Send(const std::vector<std::string>& headers, std::string_view body,
                                            const Poll& poll) {
  std::wstring lines;
  for (const std::string& h : headers) lines += ToWide(h) + L"\r\n";
  const auto size = static_cast<DWORD>(body.size());
  shared_->body.assign(body);
  LPVOID data = body.empty() ? WINHTTP_NO_REQUEST_DATA : shared_->body.data();
  if (!WinHttpSendRequest(request_, lines.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : lines.c_str(),
                          lines.empty() ? 0 : static_cast<DWORD>(-1L), data, size, size,
                          reinterpret_cast<DWORD_PTR>(shared_))) {
    error_ = GetLastError();
    return Step::Failed;
  }
  if (const Step sent = Wait(poll); sent != Step::Done) return sent;
  if (PastDeadline()) return Step::Stopped;
  if (!WinHttpReceiveResponse(request_, nullptr)) {
    error_ = GetLastError();
    return Step::Failed;
  }
  return Wait(poll);
}

WinHttpExchange::Step WinHttpExchange::Available(DWORD& bytes, const Poll& poll) {
  bytes = 0;
  // A server that keeps every step short still meets the overall limit.
  if (PastDeadline()) return Step::Stopped;
  if (!WinHttpQueryDataAvailable(request_, nullptr)) {
    error_ = GetLastError();
    return Step::Failed;
  }
  const Step step = Wait(poll);
  if (step == Step::Done) bytes = shared_->info;
  return step;
}

WinHttpExchange::Step WinHttpExchange::Read(DWORD size, std::string_view& piece, const Poll& poll) {
  piece = {};
  if (PastDeadline()) return Step::Stopped;
  if (shared_->piece.size() < size) shared_->piece.resize(size);
  if (!WinHttpReadData(request_, shared_->piece.data(), size, nullptr)) {
    error_ = GetLastError();
    return Step::Failed;
  }
  const Step step = Wait(poll);
  if (step == Step::Done) piece = std::string_view(shared_->piece.data(), std::min<size_t>(shared_->info, size));
  return step;
}

uint32_t WinHttpExchange::Status() const {
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!WinHttpQueryHeaders(request_, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
    return 0;
  return status;
}

bool WinHttpExchange::Header(DWORD query, std::string& value) const {
  DWORD size = 0;
  WinHttpQueryHeaders(request_, query, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size, WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return false;
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  if (!WinHttpQueryHeaders(request_, query, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                           WINHTTP_NO_HEADER_INDEX))
    return false;
  text.resize(size / sizeof(wchar_t));
  value = FromWide(text);
  return true;
}

int64_t WinHttpExchange::ContentLength() const {
  std::string text;
  if (!Header(WINHTTP_QUERY_CONTENT_LENGTH, text)) return -1;
  int64_t length = -1;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), length);
  if (ec != std::errc() || end != text.data() + text.size() || length < 0) return -1;
  return length;
}

}  // namespace tarn

// A stand-in for the web view runtime's library, for the window host's tests
// under Wine (which runs no real web view). Built from the host's own
// interface declarations, it is installed where the runtime's installer
// puts EmbeddedBrowserWebView.dll, so the host finds and loads it as it
// would the real one.
//
// It shows nothing. It plays a script and writes down every call the host
// makes. Both files are named in the environment the test starts the host
// with: TARN_WEBVIEW_SCRIPT (read once) and TARN_WEBVIEW_RECORD (appended to,
// one UTF-8 line per call; a backslash or line break inside a value is
// written as \\, \n or \r).
//
// Script lines, played one per timer tick on the host's window thread once
// the controller is made, each after the runtime's own pending work:
//   fail-controller           the controller cannot be made (read at once)
//   fail-start-page <status>  the first navigation fails with that status
//   message <text>            the page posts <text> (\n for a line break)
//   navigate user|script <uri>  the player (a link) or a script navigates
//   new-window <uri>          the page asks for a new window
//   download <uri>            a download starts
//   await <n>                 waits until the host has posted n messages
//   await-except <n> <text>   waits until n messages not holding <text>
//                             have been posted
//   await-after <n> <text>    waits until n messages followed the first
//                             one holding <text>
//   sleep <ms>                waits
//   move <x> <y>              moves the host's window
//   close                     asks the host's window to close
// The export StandInOpenW doubles as the desktop's opener (run through
// rundll32): it records the address the shell was asked to open.
#include <windows.h>
#include <objbase.h>

#include <cstdlib>
#include <algorithm>
#include <deque>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "host/win/webview2.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

namespace {

using namespace tarn::webview2;

std::string Utf8(const wchar_t* text) {
  if (!text) return "(null)";
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
  return out;
}

std::wstring Env(const wchar_t* name) {
  wchar_t value[1024];
  const DWORD n = GetEnvironmentVariableW(name, value, 1024);
  return n > 0 && n < 1024 ? std::wstring(value, n) : std::wstring();
}

// A kernel handle closed on every path; both failure values read as none.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~Handle() {
    if (h_) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  explicit operator bool() const { return h_ != nullptr; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

void Record(std::string line) {
  static const std::wstring path = Env(L"TARN_WEBVIEW_RECORD");
  if (path.empty()) return;
  std::string escaped;
  for (const char c : line) {
    if (c == '\\' || c == '\n' || c == '\r') escaped += '\\';
    escaped += c == '\n' ? 'n' : c == '\r' ? 'r' : c;
  }
  escaped += '\n';
  // The desktop's openers are processes of their own, started side by side:
  // Wine's appending writes are not atomic between processes, so every
  // writer takes the file in turn and writes at the end it finds.
  const Handle turn(CreateMutexW(nullptr, FALSE, L"TarnWebViewStandInRecord"));
  const DWORD waited = turn ? WaitForSingleObject(turn.get(), 10000) : WAIT_FAILED;
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return;
  {
    const Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file && SetFilePointerEx(file.get(), LARGE_INTEGER{}, nullptr, FILE_END))
      WriteFile(file.get(), escaped.data(), static_cast<DWORD>(escaped.size()), &written, nullptr);
  }
  ReleaseMutex(turn.get());
}

LPWSTR CoCopy(const std::wstring& text) {
  auto* out = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (out) CopyMemory(out, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  return out;
}

// Reference counting and QueryInterface over the interfaces an object
// answers to; each is named by its kIid.
template <typename Top, typename... Also>
class Object : public Top {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, Top::kIid) || ((IsEqualIID(iid, Also::kIid)) || ...)) {
      *out = static_cast<Top*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
  }
  virtual ~Object() = default;

 private:
  LONG refs_ = 1;
};

HRESULT Unexpected(const char* name) {
  Record(std::string("unexpected ") + name);
  return E_NOTIMPL;
}
#define STUB(name) \
  HRESULT STDMETHODCALLTYPE name(void*, void*) override { return Unexpected(#name); }

// A host handler kept by the stand-in, with the depth of calls into the
// host (so a move loop entered inside one can be told apart).
int g_inHandler = 0;
template <typename H, typename... Args>
void Call(H* handler, Args... args) {
  if (!handler) return;
  ++g_inHandler;
  handler->Invoke(args...);
  --g_inHandler;
}

// --- event arguments ---

// The Cancel property of starting navigations and downloads; the stand-in
// reads cancel_ after the host's handler returned.
#define CANCEL_PROPERTY                                               \
  HRESULT STDMETHODCALLTYPE get_Cancel(BOOL* cancel) override {       \
    *cancel = cancel_;                                                \
    return S_OK;                                                      \
  }                                                                   \
  HRESULT STDMETHODCALLTYPE put_Cancel(BOOL cancel) override {        \
    cancel_ = cancel;                                                 \
    return S_OK;                                                      \
  }                                                                   \
  BOOL cancel_ = FALSE;

class MessageArgs final : public Object<ICoreWebView2WebMessageReceivedEventArgs> {
 public:
  explicit MessageArgs(std::wstring text) : text_(std::move(text)) {}
  HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* source) override {
    *source = CoCopy(L"https://tarn.local/index.html");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_WebMessageAsJson(LPWSTR*) override { return Unexpected("get_WebMessageAsJson"); }
  HRESULT STDMETHODCALLTYPE TryGetWebMessageAsString(LPWSTR* text) override {
    *text = CoCopy(text_);
    return S_OK;
  }

 private:
  std::wstring text_;
};

class StartingArgs final : public Object<ICoreWebView2NavigationStartingEventArgs> {
 public:
  StartingArgs(std::wstring uri, bool user) : uri_(std::move(uri)), user_(user) {}
  HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override {
    *uri = CoCopy(uri_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL* value) override {
    *value = user_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_IsRedirected(BOOL* value) override {
    *value = FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_RequestHeaders(void**) override { return Unexpected("get_RequestHeaders"); }
  CANCEL_PROPERTY

 private:
  std::wstring uri_;
  BOOL user_;
};

class CompletedArgs final : public Object<ICoreWebView2NavigationCompletedEventArgs> {
 public:
  CompletedArgs(bool success, int status) : success_(success), status_(status) {}
  HRESULT STDMETHODCALLTYPE get_IsSuccess(BOOL* success) override {
    *success = success_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_WebErrorStatus(int* status) override {
    *status = status_;
    return S_OK;
  }

 private:
  BOOL success_;
  int status_;
};

class NewWindowArgs final : public Object<ICoreWebView2NewWindowRequestedEventArgs> {
 public:
  explicit NewWindowArgs(std::wstring uri) : uri_(std::move(uri)) {}
  HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override {
    *uri = CoCopy(uri_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_NewWindow(ICoreWebView2*) override { return Unexpected("put_NewWindow"); }
  HRESULT STDMETHODCALLTYPE get_NewWindow(ICoreWebView2**) override { return Unexpected("get_NewWindow"); }
  HRESULT STDMETHODCALLTYPE put_Handled(BOOL handled) override {
    handled_ = handled;
    return S_OK;
  }
  BOOL handled_ = FALSE;

 private:
  std::wstring uri_;
};

class DownloadArgs final : public Object<ICoreWebView2DownloadStartingEventArgs> {
 public:
  HRESULT STDMETHODCALLTYPE get_DownloadOperation(void**) override { return Unexpected("get_DownloadOperation"); }
  CANCEL_PROPERTY
};

// --- the runtime's objects ---

#define BOOL_SETTING(name)                                  \
  HRESULT STDMETHODCALLTYPE get_##name(BOOL* v) override {  \
    *v = TRUE;                                              \
    return S_OK;                                            \
  }                                                         \
  HRESULT STDMETHODCALLTYPE put_##name(BOOL v) override {   \
    Record(std::string("setting " #name " ") + (v ? "1" : "0")); \
    return S_OK;                                            \
  }

class Settings final : public Object<ICoreWebView2Settings6, ICoreWebView2Settings, ICoreWebView2Settings2,
                                     ICoreWebView2Settings3, ICoreWebView2Settings4, ICoreWebView2Settings5> {
 public:
  BOOL_SETTING(IsScriptEnabled)
  BOOL_SETTING(IsWebMessageEnabled)
  BOOL_SETTING(AreDefaultScriptDialogsEnabled)
  BOOL_SETTING(IsStatusBarEnabled)
  BOOL_SETTING(AreDevToolsEnabled)
  BOOL_SETTING(AreDefaultContextMenusEnabled)
  BOOL_SETTING(AreHostObjectsAllowed)
  BOOL_SETTING(IsZoomControlEnabled)
  BOOL_SETTING(IsBuiltInErrorPageEnabled)
  HRESULT STDMETHODCALLTYPE get_UserAgent(LPWSTR*) override { return Unexpected("get_UserAgent"); }
  HRESULT STDMETHODCALLTYPE put_UserAgent(LPCWSTR) override { return Unexpected("put_UserAgent"); }
  BOOL_SETTING(AreBrowserAcceleratorKeysEnabled)
  BOOL_SETTING(IsPasswordAutosaveEnabled)
  BOOL_SETTING(IsGeneralAutofillEnabled)
  BOOL_SETTING(IsPinchZoomEnabled)
  BOOL_SETTING(IsSwipeNavigationEnabled)
};

class WebView;

struct Runtime {
  HWND parent = nullptr;
  ICoreWebView2NavigationStartingEventHandler* onStarting = nullptr;
  ICoreWebView2NavigationCompletedEventHandler* onCompleted = nullptr;
  ICoreWebView2WebMessageReceivedEventHandler* onMessage = nullptr;
  ICoreWebView2NewWindowRequestedEventHandler* onNewWindow = nullptr;
  ICoreWebView2DownloadStartingEventHandler* onDownload = nullptr;
  WebView* webView = nullptr;
  std::deque<std::function<void()>> pending;  // the runtime's own work, first
  std::vector<std::string> script;
  size_t next = 0;
  bool playing = false;
  bool busy = false;
  bool failController = false;
  int failStartPage = 0;  // status; 0: the start page loads
  int navigations = 0;
  int posted = 0;
  std::vector<std::string> postedTexts;
  DWORD waitUntil = 0;
  DWORD awaitSince = 0;
};

Runtime& TheRuntime() {
  static auto* runtime = new Runtime;
  return *runtime;
}

template <typename T>
void Keep(T*& slot, T* handler) {
  if (handler) handler->AddRef();
  if (slot) slot->Release();
  slot = handler;
}

// One navigation of the main frame as the runtime runs it: starting (which
// the host may cancel), then completed; a cancelled one completes with the
// status of a cancelled operation. What is shown afterwards is recorded.
void RunNavigation(const std::wstring& uri, bool user, const std::string& shownAs) {
  Runtime& rt = TheRuntime();
  auto* starting = new StartingArgs(uri, user);
  Call(rt.onStarting, reinterpret_cast<ICoreWebView2*>(rt.webView), starting);
  const bool cancelled = starting->cancel_;
  starting->Release();
  Record("starting " + std::string(user ? "user " : "script ") + Utf8(uri.c_str()) + " cancel=" + (cancelled ? "1" : "0"));
  const bool first = ++rt.navigations == 1;
  const int status = cancelled ? kWebErrorOperationCanceled : first ? rt.failStartPage : 0;
  auto* completed = new CompletedArgs(status == 0, status);
  static std::string shown = "nothing";
  if (status == 0) shown = shownAs;
  Call(rt.onCompleted, reinterpret_cast<ICoreWebView2*>(rt.webView), completed);
  completed->Release();
  Record("completed status=" + std::to_string(status));
  // The host's reaction (an error page) is pending work; the page is
  // recorded after it.
  rt.pending.push_back([] { Record("page " + shown); });
}

class WebView final : public Object<ICoreWebView2_4, ICoreWebView2, ICoreWebView2_2, ICoreWebView2_3> {
 public:
  HRESULT STDMETHODCALLTYPE get_Settings(ICoreWebView2Settings** settings) override {
    *settings = new Settings;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Source(LPWSTR*) override { return Unexpected("get_Source"); }
  HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR uri) override {
    const std::wstring target = uri;
    Record("navigate " + Utf8(uri));
    TheRuntime().pending.push_back([target] { RunNavigation(target, false, Utf8(target.c_str())); });
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE NavigateToString(LPCWSTR html) override {
    const std::string text = Utf8(html);
    Record("navigate-to-string " + text);
    TheRuntime().pending.push_back(
        [text] { RunNavigation(L"data:text/html;charset=utf-8;base64,PCFkb2N0eXBl", false, "string " + text); });
    return S_OK;
  }
#define ADD_HANDLER(event, slot)                                                                   \
  HRESULT STDMETHODCALLTYPE add_##event(ICoreWebView2##event##EventHandler* h, EventToken* token) override { \
    return Add(#event, TheRuntime().slot, h, token);                                                    \
  }
  ADD_HANDLER(NavigationStarting, onStarting)
  ADD_HANDLER(NavigationCompleted, onCompleted)
  ADD_HANDLER(WebMessageReceived, onMessage)
  ADD_HANDLER(NewWindowRequested, onNewWindow)
  ADD_HANDLER(DownloadStarting, onDownload)
#undef ADD_HANDLER
  HRESULT STDMETHODCALLTYPE PostWebMessageAsJson(LPCWSTR json) override {
    ++TheRuntime().posted;
    TheRuntime().postedTexts.push_back(Utf8(json));
    Record("posted " + TheRuntime().postedTexts.back());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PostWebMessageAsString(LPCWSTR) override { return Unexpected("PostWebMessageAsString"); }
  HRESULT STDMETHODCALLTYPE SetVirtualHostNameToFolderMapping(LPCWSTR host, LPCWSTR folder,
                                                              HostResourceAccessKind kind) override {
    Record("mapping " + Utf8(host) + " " + Utf8(folder) + " " + std::to_string(kind));
    return S_OK;
  }
  STUB(remove_NavigationStarting) STUB(add_ContentLoading) STUB(remove_ContentLoading) STUB(add_SourceChanged)
  STUB(remove_SourceChanged) STUB(add_HistoryChanged) STUB(remove_HistoryChanged) STUB(remove_NavigationCompleted)
  STUB(add_FrameNavigationStarting) STUB(remove_FrameNavigationStarting) STUB(add_FrameNavigationCompleted)
  STUB(remove_FrameNavigationCompleted) STUB(add_ScriptDialogOpening) STUB(remove_ScriptDialogOpening)
  STUB(add_PermissionRequested) STUB(remove_PermissionRequested) STUB(add_ProcessFailed) STUB(remove_ProcessFailed)
  STUB(AddScriptToExecuteOnDocumentCreated) STUB(RemoveScriptToExecuteOnDocumentCreated) STUB(ExecuteScript)
  STUB(CapturePreview) STUB(Reload) STUB(remove_WebMessageReceived) STUB(CallDevToolsProtocolMethod)
  STUB(get_BrowserProcessId) STUB(get_CanGoBack) STUB(get_CanGoForward) STUB(GoBack) STUB(GoForward)
  STUB(GetDevToolsProtocolEventReceiver) STUB(Stop) STUB(remove_NewWindowRequested) STUB(add_DocumentTitleChanged)
  STUB(remove_DocumentTitleChanged) STUB(get_DocumentTitle) STUB(AddHostObjectToScript)
  STUB(RemoveHostObjectFromScript) STUB(OpenDevToolsWindow) STUB(add_ContainsFullScreenElementChanged)
  STUB(remove_ContainsFullScreenElementChanged) STUB(get_ContainsFullScreenElement) STUB(add_WebResourceRequested)
  STUB(remove_WebResourceRequested) STUB(AddWebResourceRequestedFilter) STUB(RemoveWebResourceRequestedFilter)
  STUB(add_WindowCloseRequested) STUB(remove_WindowCloseRequested)
  STUB(add_WebResourceResponseReceived) STUB(remove_WebResourceResponseReceived)
  STUB(NavigateWithWebResourceRequest) STUB(add_DOMContentLoaded) STUB(remove_DOMContentLoaded)
  STUB(get_CookieManager) STUB(get_Environment)
  STUB(TrySuspend) STUB(Resume) STUB(get_IsSuspended) STUB(ClearVirtualHostNameToFolderMapping)
  STUB(add_FrameCreated) STUB(remove_FrameCreated)

 private:
  template <typename H>
  static HRESULT Add(const char* name, H*& slot, H* handler, EventToken* token) {
    Record(std::string("handler ") + name);
    Keep(slot, handler);
    if (token) token->value = 1;
    return S_OK;
  }
};

class Controller final : public Object<ICoreWebView2Controller4, ICoreWebView2Controller, ICoreWebView2Controller2,
                                       ICoreWebView2Controller3> {
 public:
  HRESULT STDMETHODCALLTYPE get_IsVisible(BOOL* visible) override {
    *visible = visible_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_IsVisible(BOOL visible) override {
    visible_ = visible;
    Record(std::string("visible ") + (visible ? "1" : "0") + " window=" + (IsWindowVisible(TheRuntime().parent) ? "1" : "0"));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Bounds(RECT* bounds) override {
    *bounds = bounds_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) override {
    bounds_ = bounds;
    Record("bounds " + std::to_string(bounds.left) + " " + std::to_string(bounds.top) + " " +
           std::to_string(bounds.right) + " " + std::to_string(bounds.bottom));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE NotifyParentWindowPositionChanged() override {
    RECT r{};
    GetWindowRect(TheRuntime().parent, &r);
    Record("parent-moved " + std::to_string(r.left) + " " + std::to_string(r.top));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Close() override {
    Record("close");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_CoreWebView2(ICoreWebView2** webView) override {
    TheRuntime().webView->AddRef();
    *webView = TheRuntime().webView;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_DefaultBackgroundColor(Color c) override {
    char text[32];
    wsprintfA(text, "background %02x%02x%02x%02x", c.A, c.R, c.G, c.B);
    Record(text);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_AllowExternalDrop(BOOL allow) override {
    Record(std::string("external-drop ") + (allow ? "1" : "0"));
    return S_OK;
  }
  STUB(get_ZoomFactor) STUB(put_ZoomFactor) STUB(add_ZoomFactorChanged) STUB(remove_ZoomFactorChanged)
  STUB(SetBoundsAndZoomFactor) STUB(MoveFocus) STUB(add_MoveFocusRequested) STUB(remove_MoveFocusRequested)
  STUB(add_GotFocus) STUB(remove_GotFocus) STUB(add_LostFocus) STUB(remove_LostFocus) STUB(add_AcceleratorKeyPressed)
  STUB(remove_AcceleratorKeyPressed) STUB(get_ParentWindow) STUB(put_ParentWindow)
  STUB(get_DefaultBackgroundColor)
  STUB(get_RasterizationScale) STUB(put_RasterizationScale) STUB(get_ShouldDetectMonitorScaleChanges)
  STUB(put_ShouldDetectMonitorScaleChanges) STUB(add_RasterizationScaleChanged) STUB(remove_RasterizationScaleChanged)
  STUB(get_BoundsMode) STUB(put_BoundsMode)
  STUB(get_AllowExternalDrop)

 private:
  BOOL visible_ = FALSE;
  RECT bounds_{};
};

// The system's move loop, started by a drag, is seen as the caption click
// that starts it; a click inside a host handler would run the loop there.
// Nothing holds the mouse button here, so the loop is ended at once.
LRESULT CALLBACK WatchWindow(int code, WPARAM wParam, LPARAM lParam) {
  const auto* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && message && message->hwnd == TheRuntime().parent && message->message == WM_NCLBUTTONDOWN &&
      message->wParam == HTCAPTION) {
    Record(std::string("drag-start in-handler=") + (g_inHandler > 0 ? "1" : "0"));
    PostMessageW(message->hwnd, WM_KEYDOWN, VK_RETURN, 0);
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

std::wstring Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      out += '\n';
      ++i;
    } else {
      out += text[i];
    }
  }
  return Wide(out);
}

// One script step; false while it waits.
bool Step(const std::string& line) {
  Runtime& rt = TheRuntime();
  const size_t space = line.find(' ');
  const std::string verb = line.substr(0, space);
  const std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
  if (verb == "message") {
    auto* args = new MessageArgs(Unescape(rest));
    Call(rt.onMessage, reinterpret_cast<ICoreWebView2*>(rt.webView), args);
    args->Release();
  } else if (verb == "navigate") {
    const bool user = rest.rfind("user ", 0) == 0;
    const std::string uri = rest.substr(rest.find(' ') + 1);
    RunNavigation(Wide(uri), user, uri);
  } else if (verb == "new-window") {
    auto* args = new NewWindowArgs(Wide(rest));
    Call(rt.onNewWindow, reinterpret_cast<ICoreWebView2*>(rt.webView), args);
    Record("new-window " + rest + " handled=" + (args->handled_ ? "1" : "0"));
    args->Release();
  } else if (verb == "download") {
    auto* args = new DownloadArgs;
    Call(rt.onDownload, reinterpret_cast<ICoreWebView2*>(rt.webView), args);
    Record("download " + rest + " cancel=" + (args->cancel_ ? "1" : "0"));
    args->Release();
  } else if (verb == "await" || verb == "await-after" || verb == "await-except") {
    int want = atoi(rest.c_str());
    int have = rt.posted;
    const std::string text = rest.substr(rest.find(' ') + 1);
    if (verb == "await-after") {
      size_t at = 0;
      while (at < rt.postedTexts.size() && rt.postedTexts[at].find(text) == std::string::npos) ++at;
      want += at < rt.postedTexts.size() ? static_cast<int>(at) + 1 : 1 << 30;
    } else if (verb == "await-except") {
      have = static_cast<int>(std::count_if(rt.postedTexts.begin(), rt.postedTexts.end(),
                                            [&](const std::string& t) { return t.find(text) == std::string::npos; }));
    }
    if (!rt.awaitSince) rt.awaitSince = GetTickCount();
    if (have < want) {
      if (GetTickCount() - rt.awaitSince < 60000) return false;
      Record("await-timeout " + rest + " posted=" + std::to_string(rt.posted));
    }
    rt.awaitSince = 0;
  } else if (verb == "sleep") {
    if (!rt.waitUntil) rt.waitUntil = GetTickCount() + static_cast<DWORD>(atoi(rest.c_str()));
    if (GetTickCount() < rt.waitUntil) return false;
    rt.waitUntil = 0;
  } else if (verb == "move") {
    const int x = atoi(rest.c_str());
    const int y = atoi(rest.substr(rest.find(' ') + 1).c_str());
    Record("move " + std::to_string(x) + " " + std::to_string(y));
    SetWindowPos(rt.parent, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  } else if (verb == "close") {
    PostMessageW(rt.parent, WM_CLOSE, 0, 0);
  }
  return true;
}

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
  Runtime& rt = TheRuntime();
  if (rt.busy) return;  // a modal loop inside a step dispatches ticks too
  rt.busy = true;
  if (!rt.pending.empty()) {
    auto work = std::move(rt.pending.front());
    rt.pending.pop_front();
    work();
  } else if (rt.playing && rt.next < rt.script.size()) {
    if (Step(rt.script[rt.next])) ++rt.next;
  }
  rt.busy = false;
}

class Environment final : public Object<ICoreWebView2Environment> {
 public:
  HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(
      HWND parent, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) override {
    Runtime& rt = TheRuntime();
    rt.parent = parent;
    wchar_t className[64] = {};
    GetClassNameW(parent, className, 64);
    Record("controller-requested " + Utf8(className));
    handler->AddRef();
    rt.pending.push_back([handler] {
      Runtime& r = TheRuntime();
      if (r.failController) {
        Record("controller-failed");
        Call(handler, E_FAIL, static_cast<ICoreWebView2Controller*>(nullptr));
      } else {
        r.webView = new WebView;
        SetWindowsHookExW(WH_CALLWNDPROC, WatchWindow, nullptr, GetCurrentThreadId());
        auto* controller = new Controller;
        r.playing = true;
        Call(handler, S_OK, static_cast<ICoreWebView2Controller*>(controller));
        controller->Release();
      }
      handler->Release();
    });
    return S_OK;
  }
};

std::vector<std::string> ReadScript() {
  std::vector<std::string> lines;
  const std::wstring path = Env(L"TARN_WEBVIEW_SCRIPT");
  const HANDLE file = path.empty() ? INVALID_HANDLE_VALUE
                                   : CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return lines;
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::string ModulePath() {
  static const char inThisLibrary = 0;
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&inThisLibrary), &self);
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(self, path, MAX_PATH);
  return Utf8(path);
}

}  // namespace

#undef STUB
#pragma GCC diagnostic pop

extern "C" __declspec(dllexport) HRESULT STDMETHODCALLTYPE CreateWebViewEnvironmentWithOptionsInternal(
    bool reuseBrowserProcess, int runtimeKind, LPCWSTR userDataFolder, IUnknown* options,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
  Runtime& rt = TheRuntime();
  Record("environment " + ModulePath() + " reuse=" + (reuseBrowserProcess ? "1" : "0") +
         " kind=" + std::to_string(runtimeKind) + " folder=" + Utf8(userDataFolder) + " options=" + (options ? "1" : "0"));
  if (!handler) return E_POINTER;
  for (const std::string& line : ReadScript()) {
    if (line == "fail-controller") rt.failController = true;
    else if (line.rfind("fail-start-page ", 0) == 0) rt.failStartPage = atoi(line.c_str() + 16);
    else rt.script.push_back(line);
  }
  handler->AddRef();
  rt.pending.push_back([handler] {
    auto* environment = new Environment;
    Call(handler, S_OK, static_cast<ICoreWebView2Environment*>(environment));
    environment->Release();
    handler->Release();
  });
  SetTimer(nullptr, 0, 10, Tick);
  return S_OK;
}

// The desktop's opener for the test's prefix: "rundll32 <this library>,StandInOpen <address>".
extern "C" __declspec(dllexport) void CALLBACK StandInOpenW(HWND, HINSTANCE, LPCWSTR address, int) {
  Record("opened " + Utf8(address));
}

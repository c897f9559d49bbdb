#include "host/win/window_host.h"

#include <dwmapi.h>
#include <shellapi.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "host/common/job_watch.h"
#include "host/common/web_page.h"
#include "host/common/window_layout.h"
#include "host/win/folder_dialog.h"
#include "host/win/runtime_locator.h"
#include "host/win/taskbar.h"
#include "host/win/webview2.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/program_update.h"
#include "platform/windows/wide.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

using namespace webview2;

// Events for the page travel as a heap string in the message's lParam; the
// window procedure takes it back.
constexpr UINT kUiPostMessage = WM_APP + 1;
// "window.drag" starts the system's move loop from the window procedure,
// after the web view's message handler has returned: the loop runs until
// the button is up, and the runtime does not expect its handler to be
// entered again meanwhile.
constexpr UINT kDragMessage = WM_APP + 2;
// A long job's begin or end (wParam: the job, and the phase in the second
// byte), posted by the job's thread after its Events, so it comes to the
// window in their order.
constexpr UINT kJobMessage = WM_APP + 3;
// Popup, system menu, sizing frame, minimize box: the frame is there for
// the system's benefit (snap, taskbar menu), the client area covers it all.
constexpr DWORD kWindowStyle = WS_POPUP | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX;
constexpr DWORD kDwmUseImmersiveDarkMode = 20;
constexpr DWORD kDwmWindowCornerPreference = 33;
constexpr DWORD kDwmCornerRound = 2;
constexpr Color kBackground = {255, 0x0B, 0x11, 0x1A};

constexpr wchar_t kNoRuntimeText[] =
    L"Не удалось создать компонент WebView2.\n\n"
    L"Установите «Microsoft Edge WebView2 Runtime» и запустите лаунчер заново.";
constexpr wchar_t kRuntimeFailedText[] =
    L"Не удалось запустить компонент WebView2.\n\n"
    L"Он входит в состав Windows 11 и обычно уже установлен. Если лаунчер не запускается, "
    L"установите «Microsoft Edge WebView2 Runtime».";

// A COM reference released with its holder.
template <typename T>
struct ComRef {
  T* p = nullptr;
  ComRef() = default;
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ~ComRef() { Reset(); }
  void Reset(T* next = nullptr) {
    if (p) p->Release();
    p = next;
  }
  T** Out() {
    Reset();
    return &p;
  }
  explicit operator bool() const { return p != nullptr; }
  T* operator->() const { return p; }
  template <typename U>
  bool As(ComRef<U>& other) const {
    return p && SUCCEEDED(p->QueryInterface(U::kIid, reinterpret_cast<void**>(other.Out())));
  }
};

// Text the runtime allocated for the caller.
struct CoText {
  LPWSTR p = nullptr;
  CoText() = default;
  CoText(const CoText&) = delete;
  CoText& operator=(const CoText&) = delete;
  ~CoText() { CoTaskMemFree(p); }
  std::string Utf8() const { return p ? FromWide(p) : std::string(); }
};

// One COM object around a callable, for the runtime's completion and
// event handlers. It lives as long as the runtime holds it, and deletes
// itself as its own most derived type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
template <typename Interface, typename... Args>
class Handler final : public Interface {
 public:
  static Interface* New(std::function<HRESULT(Args...)> fn) { return new Handler(std::move(fn)); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, Interface::kIid)) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE Invoke(Args... args) override { return fn_(args...); }

 private:
  explicit Handler(std::function<HRESULT(Args...)> fn) : fn_(std::move(fn)) {}
  std::atomic<ULONG> refs_{1};
  std::function<HRESULT(Args...)> fn_;
};
#pragma GCC diagnostic pop

// Everything of the one window, touched on the window thread only (the
// window handle is read by other threads once it is set).
struct Host {
  Launcher* launcher = nullptr;  // RunLauncher's, for as long as the window lives
  std::atomic<HWND> window{nullptr};
  std::string exeDir;
  std::string uiPrefix;
  ComRef<ICoreWebView2Controller> controller;
  ComRef<ICoreWebView2> webView;
  // The error page arrives as a document from a string, which the
  // navigation policy would otherwise stop as not being the page's own.
  bool errorPageComing = false;
  // What the message loop ends with: 1 when the web view could not be made.
  int exitCode = 0;
  JobWatch jobs;
  // Asked for at the first job; null when the system has no taskbar for us.
  TaskbarList taskbar;
  bool taskbarAsked = false;
};

Host& TheHost() {
  static auto* host = new Host;  // never destroyed: tasks may post during exit
  return *host;
}

void ShowMessage(HWND owner, const wchar_t* text) {
  MessageBoxW(owner, text, ToWide(kWindowTitle).c_str(), MB_OK | MB_ICONERROR);
}

// From any thread: the window thread delivers Events in the order each
// thread posted them.
void PostEvent(const std::string& event) {
  const HWND window = TheHost().window.load();
  if (!window) return;
  auto* copy = new std::string(event);
  if (!PostMessageW(window, kUiPostMessage, 0, reinterpret_cast<LPARAM>(copy))) delete copy;
}

void PostJobSignal(const JobSignal& signal) {
  const HWND window = TheHost().window.load();
  if (!window) return;
  const auto code = static_cast<WPARAM>(signal.job) | static_cast<WPARAM>(signal.phase) << 8;
  PostMessageW(window, kJobMessage, code, 0);
}

// The taskbar follows the watched job; one that fails is not asked again.
void ShowJobProgress(Host& host, HWND window) {
  if (!host.taskbarAsked) {
    host.taskbarAsked = true;
    host.taskbar = ConnectTaskbar();
    if (!host.taskbar) LogLine(host.launcher->context.log, "панель задач недоступна");
  }
  if (host.taskbar && !ShowTaskbarProgress(host.taskbar.get(), window, host.jobs.percent)) {
    LogLine(host.launcher->context.log, "панель задач не показывает ход работы");
    host.taskbar.reset();
  }
}

// A job that ended while the player looks elsewhere flashes the button.
void ServeJobSignal(Host& host, HWND window, WPARAM code) {
  const JobSignal signal{static_cast<LongJob>(code & 0xFF), static_cast<JobPhase>((code >> 8) & 0xFF)};
  const bool shown = NoticeToShow(host.jobs, signal, WindowInFront(window), host.launcher->context.log).has_value();
  ShowJobProgress(host, window);
  if (shown) FlashUntilInFront(window);
}

void OpenWithShell(const std::string& target, const std::string& params) {
  if (target.empty()) return;
  const std::wstring wideParams = ToWide(params);
  ShellExecuteW(nullptr, L"open", ToWide(target).c_str(), params.empty() ? nullptr : wideParams.c_str(), nullptr,
                SW_SHOWNORMAL);
}

std::wstring FindUiFolder(const std::wstring& exeDir) {
  const std::wstring beside = exeDir + L"\\ui";
  const std::wstring chosen =
      GetFileAttributesW((beside + L"\\index.html").c_str()) != INVALID_FILE_ATTRIBUTES ? beside
                                                                                        : exeDir + L"\\..\\..\\ui";
  wchar_t full[MAX_PATH];
  const DWORD n = GetFullPathNameW(chosen.c_str(), MAX_PATH, full, nullptr);
  return n > 0 && n < MAX_PATH ? std::wstring(full, n) : chosen;
}

void ApplySettings(ICoreWebView2* webView) {
  ComRef<ICoreWebView2Settings> settings;
  if (FAILED(webView->get_Settings(settings.Out())) || !settings) return;
  settings->put_AreDefaultContextMenusEnabled(FALSE);
  settings->put_IsZoomControlEnabled(FALSE);
  settings->put_IsStatusBarEnabled(FALSE);
  settings->put_IsBuiltInErrorPageEnabled(FALSE);
  settings->put_AreDevToolsEnabled(FALSE);
  if (ComRef<ICoreWebView2Settings3> s3; settings.As(s3)) s3->put_AreBrowserAcceleratorKeysEnabled(FALSE);
  if (ComRef<ICoreWebView2Settings4> s4; settings.As(s4)) {
    s4->put_IsGeneralAutofillEnabled(FALSE);
    s4->put_IsPasswordAutosaveEnabled(FALSE);
  }
  if (ComRef<ICoreWebView2Settings5> s5; settings.As(s5)) s5->put_IsPinchZoomEnabled(FALSE);
  if (ComRef<ICoreWebView2Settings6> s6; settings.As(s6)) s6->put_IsSwipeNavigationEnabled(FALSE);
}

HRESULT OnWebMessage(ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) {
  CoText text;
  if (!args || FAILED(args->TryGetWebMessageAsString(&text.p)) || !text.p) return S_OK;
  const std::string command = text.Utf8();
  const HWND window = TheHost().window.load();
  switch (ParseWindowCommand(command)) {
    case WindowCommand::Drag: PostMessageW(window, kDragMessage, 0, 0); break;
    case WindowCommand::Minimize: ShowWindow(window, SW_MINIMIZE); break;
    case WindowCommand::Close: PostMessageW(window, WM_CLOSE, 0, 0); break;
    case WindowCommand::Other: break;
  }
  Dispatch(*TheHost().launcher, command);
  return S_OK;
}

HRESULT OnNavigationStarting(ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) {
  Host& host = TheHost();
  CoText uri;
  if (!args || FAILED(args->get_Uri(&uri.p)) || !uri.p) return S_OK;
  if (host.errorPageComing) {
    host.errorPageComing = false;
    return S_OK;
  }
  const std::string address = uri.Utf8();
  switch (DecideNavigation(address, host.uiPrefix)) {
    case NavigationVerdict::Allow: break;
    case NavigationVerdict::CancelAndOpen:
      args->put_Cancel(TRUE);
      ShellOpen(TheHost().launcher->context, address);
      break;
    case NavigationVerdict::Cancel: args->put_Cancel(TRUE); break;
  }
  return S_OK;
}

HRESULT OnNewWindow(ICoreWebView2*, ICoreWebView2NewWindowRequestedEventArgs* args) {
  if (!args) return S_OK;
  args->put_Handled(TRUE);
  CoText uri;
  if (FAILED(args->get_Uri(&uri.p)) || !uri.p) return S_OK;
  // Only web and mail addresses leave the program; a file or share address
  // would make the shell run what it names.
  if (const std::string address = uri.Utf8(); MayOpenNewWindowAddress(address)) ShellOpen(TheHost().launcher->context, address);
  return S_OK;
}

HRESULT OnDownload(ICoreWebView2*, ICoreWebView2DownloadStartingEventArgs* args) {
  if (args) args->put_Cancel(TRUE);
  return S_OK;
}

HRESULT OnNavigationCompleted(ICoreWebView2* webView, ICoreWebView2NavigationCompletedEventArgs* args) {
  BOOL success = TRUE;
  if (!args || !webView || FAILED(args->get_IsSuccess(&success)) || success) return S_OK;
  int status = 0;
  args->get_WebErrorStatus(&status);
  // A navigation the policy cancelled ends here too; the page stays.
  if (status == kWebErrorOperationCanceled) return S_OK;
  TheHost().errorPageComing = true;
  if (FAILED(webView->NavigateToString(ToWide(ErrorPageHtml(status)).c_str()))) TheHost().errorPageComing = false;
  return S_OK;
}

// The runtime is there but made no web view: the player is told, and the
// program ends with the start-up failure code, so the single-instance guard
// is free for the next start rather than held by a window nobody sees.
HRESULT FailStart(HRESULT result) {
  Host& host = TheHost();
  const HWND window = host.window.load();
  ShowMessage(window, kRuntimeFailedText);
  host.exitCode = 1;
  DestroyWindow(window);
  return FAILED(result) ? result : E_FAIL;
}

// The page's own host name serves the ui folder.
void MapUiFolder(Host& host) {
  if (ComRef<ICoreWebView2_3> w3; host.webView.As(w3)) {
    const std::wstring ui = FindUiFolder(ToWide(host.exeDir));
    w3->SetVirtualHostNameToFolderMapping(ToWide(kUiHost).c_str(), ui.c_str(), kAccessDenyCors);
  }
}

// The page's messages, and the policy for where it may go, what opens
// outside and what it may not do at all.
void AddPageHandlers(Host& host, ICoreWebView2* webView) {
  EventToken token{};
  auto* onMessage = Handler<ICoreWebView2WebMessageReceivedEventHandler, ICoreWebView2*,
                            ICoreWebView2WebMessageReceivedEventArgs*>::New(OnWebMessage);
  webView->add_WebMessageReceived(onMessage, &token);
  onMessage->Release();
  if (ComRef<ICoreWebView2Controller4> c4; host.controller.As(c4)) c4->put_AllowExternalDrop(FALSE);
  auto* onStarting = Handler<ICoreWebView2NavigationStartingEventHandler, ICoreWebView2*,
                             ICoreWebView2NavigationStartingEventArgs*>::New(OnNavigationStarting);
  webView->add_NavigationStarting(onStarting, &token);
  onStarting->Release();
  auto* onNewWindow = Handler<ICoreWebView2NewWindowRequestedEventHandler, ICoreWebView2*,
                              ICoreWebView2NewWindowRequestedEventArgs*>::New(OnNewWindow);
  webView->add_NewWindowRequested(onNewWindow, &token);
  onNewWindow->Release();
  if (ComRef<ICoreWebView2_4> w4; host.webView.As(w4)) {
    auto* onDownload = Handler<ICoreWebView2DownloadStartingEventHandler, ICoreWebView2*,
                               ICoreWebView2DownloadStartingEventArgs*>::New(OnDownload);
    w4->add_DownloadStarting(onDownload, &token);
    onDownload->Release();
  }
}

// The web view fills the window's client area; the log tells what it got.
void FitToWindow(ICoreWebView2Controller* controller, HWND window) {
  RECT client{};
  GetClientRect(window, &client);
  const HRESULT boundsResult = controller->put_Bounds(client);
  RECT bounds{};
  controller->get_Bounds(&bounds);
  BOOL visible = FALSE;
  controller->get_IsVisible(&visible);
  LogHostLine(TheHost().launcher->context.log, "клиент  %dx%d", static_cast<int>(client.right - client.left),
              static_cast<int>(client.bottom - client.top));
  LogHostLine(TheHost().launcher->context.log, "bounds  hr=0x%08X -> %dx%d", static_cast<unsigned>(boundsResult),
              static_cast<int>(bounds.right - bounds.left), static_cast<int>(bounds.bottom - bounds.top));
  LogHostLine(TheHost().launcher->context.log, "видим   %d", visible ? 1 : 0);
}

void ShowWebView(ICoreWebView2Controller* controller, HWND window) {
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  controller->put_IsVisible(TRUE);
  BOOL visible = FALSE;
  controller->get_IsVisible(&visible);
  LogHostLine(TheHost().launcher->context.log, "видим после показа %d", visible ? 1 : 0);
}

HRESULT OnController(HRESULT result, ICoreWebView2Controller* controller) {
  Host& host = TheHost();
  const HWND window = host.window.load();
  if (FAILED(result) || !controller) return FailStart(result);
  controller->AddRef();
  host.controller.Reset(controller);
  if (FAILED(controller->get_CoreWebView2(host.webView.Out())) || !host.webView) return FailStart(E_FAIL);
  ICoreWebView2* webView = host.webView.p;

  if (ComRef<ICoreWebView2Controller2> c2; host.controller.As(c2)) c2->put_DefaultBackgroundColor(kBackground);

  const std::string dataFolder = JoinPath(host.exeDir, "data");
  MakeFolder(dataFolder);
  InstallHostSlots(
      host.launcher->context,
      {.post = PostEvent,
       .open = OpenWithShell,
       .pickFolder = [](const FolderDialog& dialog) { return PickFolderWithDialog(dialog, TheHost().window.load()); },
       .dataFolder = dataFolder,
       // The window thread owns the window: the close goes through its queue.
       .close = [] { PostMessageW(TheHost().window.load(), WM_CLOSE, 0, 0); },
       .job = PostJobSignal},
      LoadServiceEndpoint(host.launcher->context.log, host.exeDir));

  ApplySettings(webView);
  MapUiFolder(host);
  AddPageHandlers(host, webView);
  FitToWindow(controller, window);

  EventToken token{};
  auto* onCompleted = Handler<ICoreWebView2NavigationCompletedEventHandler, ICoreWebView2*,
                              ICoreWebView2NavigationCompletedEventArgs*>::New(OnNavigationCompleted);
  webView->add_NavigationCompleted(onCompleted, &token);
  onCompleted->Release();

  webView->Navigate(ToWide(host.uiPrefix + std::string(kStartPage)).c_str());
  ShowWebView(controller, window);
  return S_OK;
}

HRESULT OnEnvironment(HRESULT result, ICoreWebView2Environment* environment) {
  const HWND window = TheHost().window.load();
  if (FAILED(result) || !environment) {
    ShowMessage(window, kRuntimeFailedText);
    PostMessageW(window, WM_CLOSE, 0, 0);
    return FAILED(result) ? result : E_FAIL;
  }
  auto* onController =
      Handler<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, HRESULT, ICoreWebView2Controller*>::New(
          OnController);
  const HRESULT requested = environment->CreateCoreWebView2Controller(window, onController);
  onController->Release();
  return requested;
}

std::optional<std::wstring> ReadRegistryText(const RegistryValueName& name) {
  const HKEY root = name.root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  wchar_t buffer[1024];
  DWORD size = sizeof buffer;
  if (RegGetValueW(root, name.key.c_str(), name.value.c_str(), RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
    return std::nullopt;
  return std::wstring(buffer);
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Finds the installed runtime and asks it for an environment. False when
// there is no runtime or it refuses at once.
bool RequestEnvironment(const std::wstring& userDataFolder) {
  const std::wstring library = FindWebViewClient(ReadRegistryText, IsFile);
  if (library.empty()) return false;
  // Stays loaded for the life of the process: the web view runs from it.
  const HMODULE module = LoadLibraryExW(library.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) return false;
  const auto create = reinterpret_cast<CreateEnvironmentInternal>(
      reinterpret_cast<void*>(GetProcAddress(module, kCreateEnvironmentExport)));
  if (!create) return false;
  auto* onEnvironment =
      Handler<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, HRESULT, ICoreWebView2Environment*>::New(
          OnEnvironment);
  const HRESULT requested = create(true, 0, userDataFolder.c_str(), nullptr, onEnvironment);
  onEnvironment->Release();
  return SUCCEEDED(requested);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Host& host = TheHost();
  switch (message) {
    case WM_DESTROY:
      // The web view goes before the window it lives in.
      host.webView.Reset();
      if (host.controller) host.controller->Close();
      host.controller.Reset();
      host.taskbar.reset();
      PostQuitMessage(host.exitCode);
      return 0;
    case WM_MOVE:
      // Pop-ups of the page (drop-down lists) are placed from the parent's
      // position, which the web view does not follow by itself.
      if (host.controller) host.controller->NotifyParentWindowPositionChanged();
      return 0;
    case kDragMessage:
      ReleaseCapture();
      SendMessageW(window, WM_NCLBUTTONDOWN, HTCAPTION, 0);
      return 0;
    case WM_SIZE:
      if (host.controller) {
        RECT client{};
        GetClientRect(window, &client);
        host.controller->put_Bounds(client);
      }
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_NCCALCSIZE:
      if (wParam) return 0;
      break;
    case kUiPostMessage: {
      std::unique_ptr<std::string> event(reinterpret_cast<std::string*>(lParam));
      if (event && host.webView) host.webView->PostWebMessageAsJson(ToWide(*event).c_str());
      if (event && WatchEvent(host.jobs, *event)) ShowJobProgress(host, window);
      return 0;
    }
    case kJobMessage:
      ServeJobSignal(host, window, wParam);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void MakeDpiAware() {
  using SetContext = BOOL(WINAPI*)(HANDLE);
  const HMODULE user32 = GetModuleHandleW(L"user32.dll");
  const auto set = user32 ? reinterpret_cast<SetContext>(reinterpret_cast<void*>(
                                GetProcAddress(user32, "SetProcessDpiAwarenessContext")))
                          : nullptr;
  // Per monitor, version 2; older systems without the call keep their default.
  if (set) set(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)));
}

struct Mutex {
  HANDLE h;
  ~Mutex() {
    if (h) {
      ReleaseMutex(h);
      CloseHandle(h);
    }
  }
};

}  // namespace

namespace {

// The launcher's borderless window, centred, dark where the system can;
// null when it cannot be made.
HWND MakeMainWindow(HINSTANCE instance, const std::wstring& className) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  windowClass.lpszClassName = className.c_str();
  RegisterClassExW(&windowClass);

  const int x = CenteredOrigin(GetSystemMetrics(SM_CXSCREEN), kWindowWidth);
  const int y = CenteredOrigin(GetSystemMetrics(SM_CYSCREEN), kWindowHeight);
  const HWND window = CreateWindowExW(0, className.c_str(), ToWide(kWindowTitle).c_str(), kWindowStyle, x, y,
                                      kWindowWidth, kWindowHeight, nullptr, nullptr, instance, nullptr);
  if (!window) return nullptr;
  // The window was measured with the default frame when it was made; asked
  // again, the client area is the whole window, before the web view is
  // fitted to it.
  SetWindowPos(window, nullptr, 0, 0, 0, 0, SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  const BOOL dark = TRUE;
  const DWORD round = kDwmCornerRound;
  // Older systems refuse these without harm.
  DwmSetWindowAttribute(window, kDwmWindowCornerPreference, &round, sizeof round);
  DwmSetWindowAttribute(window, kDwmUseImmersiveDarkMode, &dark, sizeof dark);

  return window;
}

}  // namespace

int RunLauncher(HINSTANCE instance) {
  const std::wstring className = ToWide(kWindowClass);
  Mutex single{CreateMutexW(nullptr, TRUE, ToWide(kSingleInstanceName).c_str())};
  if (single.h && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(single.h);
    single.h = nullptr;
    if (const HWND other = FindWindowW(className.c_str(), nullptr)) {
      ShowWindow(other, SW_RESTORE);
      SetForegroundWindow(other);
    }
    return 0;
  }
  // The only copy running now: what an earlier swap renamed aside is no
  // longer anyone's program.
  RemoveProgramLeftAside(DescribeRunningProgram());

  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) return 1;
  MakeDpiAware();

  const HWND window = MakeMainWindow(instance, className);
  if (!window) return 1;

  // Outlives the window: the tasks it starts are stopped and waited for
  // below, after the message loop.
  Launcher launcher;
  Host& host = TheHost();
  host.launcher = &launcher;
  host.exeDir = ExeDir();
  host.uiPrefix = "https://" + std::string(kUiHost) + "/";
  host.window.store(window);
  if (!RequestEnvironment(ToWide(JoinPath(JoinPath(host.exeDir, "data"), "webview")))) {
    ShowMessage(nullptr, kNoRuntimeText);
    return 1;
  }

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  const int code = static_cast<int>(message.wParam);
  // The window is gone; what tasks still post meets no window and is
  // dropped, but the thread keeps taking messages while it waits.
  const auto pump = [] {
    MSG pending;
    while (PeekMessageW(&pending, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&pending);
      DispatchMessageW(&pending);
    }
  };
  // A task that overstayed still works on the launcher: the process ends
  // around it.
  if (!CloseLauncher(launcher, kCloseWait, pump)) ExitProcess(static_cast<UINT>(code));
  return code;
}

}  // namespace tarn

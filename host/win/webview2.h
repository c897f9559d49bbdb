#pragma once
// The few WebView2 COM interfaces the window host talks to, declared here
// from the runtime's public interface definitions because the SDK headers
// are not available to this build. A COM interface is its table of
// function pointers: every method up to the last one called is declared in
// its published order, so each call lands in the right slot. Methods the
// host never calls keep their place with loose parameter types.
#include <windows.h>
#include <unknwn.h>

#include <cstdint>

// COM objects are never deleted through an interface (each releases
// itself), and the runtime's tables have no destructor slot.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

namespace tarn::webview2 {

struct EventToken {
  int64_t value;
};

struct Color {
  BYTE A;
  BYTE R;
  BYTE G;
  BYTE B;
};

enum HostResourceAccessKind { kAccessDeny = 0, kAccessAllow = 1, kAccessDenyCors = 2 };

// The web error status of a navigation that was cancelled, by a handler or
// by a newer navigation: nothing failed, the page stays as it was.
inline constexpr int kWebErrorOperationCanceled = 14;

struct ICoreWebView2;
struct ICoreWebView2Controller;
struct ICoreWebView2Environment;

#define TARN_WV2_SLOT(name) virtual HRESULT STDMETHODCALLTYPE name(void*, void*) = 0

// --- completion and event handlers (implemented by the host) ---

struct ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler : IUnknown {
  static constexpr IID kIid = {0x4e8a3389, 0xc9d8, 0x4bd2, {0xb6, 0xb5, 0x12, 0x4f, 0xee, 0x6c, 0xc1, 0x4d}};
  virtual HRESULT STDMETHODCALLTYPE Invoke(HRESULT result, ICoreWebView2Environment* environment) = 0;
};

struct ICoreWebView2CreateCoreWebView2ControllerCompletedHandler : IUnknown {
  static constexpr IID kIid = {0x6c4819f3, 0xc9b7, 0x4260, {0x81, 0x27, 0xc9, 0xf5, 0xbd, 0xe7, 0xf6, 0x8c}};
  virtual HRESULT STDMETHODCALLTYPE Invoke(HRESULT result, ICoreWebView2Controller* controller) = 0;
};

struct ICoreWebView2WebMessageReceivedEventArgs : IUnknown {
  static constexpr IID kIid = {0x0f99a40c, 0xe962, 0x4207, {0x9e, 0x92, 0xe3, 0xd5, 0x42, 0xef, 0xf8, 0x49}};
  virtual HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* source) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_WebMessageAsJson(LPWSTR* json) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryGetWebMessageAsString(LPWSTR* text) = 0;
};

struct ICoreWebView2WebMessageReceivedEventHandler : IUnknown {
  static constexpr IID kIid = {0x57213f19, 0x00e6, 0x49fa, {0x8e, 0x07, 0x89, 0x8e, 0xa0, 0x1e, 0xcb, 0xd2}};
  virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender, ICoreWebView2WebMessageReceivedEventArgs* args) = 0;
};

struct ICoreWebView2NavigationStartingEventArgs : IUnknown {
  static constexpr IID kIid = {0x5b495469, 0xe119, 0x438a, {0x9b, 0x18, 0x76, 0x04, 0xf2, 0x5f, 0x2e, 0x49}};
  virtual HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsRedirected(BOOL* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RequestHeaders(void** headers) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Cancel(BOOL* cancel) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Cancel(BOOL cancel) = 0;
};

struct ICoreWebView2NavigationStartingEventHandler : IUnknown {
  static constexpr IID kIid = {0x9adbe429, 0xf36d, 0x432b, {0x9d, 0xdc, 0xf8, 0x88, 0x1f, 0xbd, 0x76, 0xe3}};
  virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender, ICoreWebView2NavigationStartingEventArgs* args) = 0;
};

struct ICoreWebView2NavigationCompletedEventArgs : IUnknown {
  static constexpr IID kIid = {0x30d68b7d, 0x20d9, 0x4752, {0xa9, 0xca, 0xec, 0x84, 0x48, 0xfb, 0xb5, 0xc1}};
  virtual HRESULT STDMETHODCALLTYPE get_IsSuccess(BOOL* success) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_WebErrorStatus(int* status) = 0;
};

struct ICoreWebView2NavigationCompletedEventHandler : IUnknown {
  static constexpr IID kIid = {0xd33a35bf, 0x1c49, 0x4f98, {0x93, 0xab, 0x00, 0x6e, 0x05, 0x33, 0xfe, 0x1c}};
  virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender, ICoreWebView2NavigationCompletedEventArgs* args) = 0;
};

struct ICoreWebView2NewWindowRequestedEventArgs : IUnknown {
  static constexpr IID kIid = {0x34acb11c, 0xfc37, 0x4418, {0x91, 0x32, 0xf9, 0xc2, 0x1d, 0x1e, 0xaf, 0xb9}};
  virtual HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_NewWindow(ICoreWebView2* window) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NewWindow(ICoreWebView2** window) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Handled(BOOL handled) = 0;
};

struct ICoreWebView2NewWindowRequestedEventHandler : IUnknown {
  static constexpr IID kIid = {0xd4c185fe, 0xc81c, 0x4989, {0x97, 0xaf, 0x2d, 0x3f, 0xa7, 0xab, 0x56, 0x51}};
  virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender, ICoreWebView2NewWindowRequestedEventArgs* args) = 0;
};

struct ICoreWebView2DownloadStartingEventArgs : IUnknown {
  static constexpr IID kIid = {0xe99bbe21, 0x43e9, 0x4544, {0xa7, 0x32, 0x28, 0x27, 0x64, 0xea, 0xfa, 0x60}};
  virtual HRESULT STDMETHODCALLTYPE get_DownloadOperation(void** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Cancel(BOOL* cancel) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Cancel(BOOL cancel) = 0;
};

struct ICoreWebView2DownloadStartingEventHandler : IUnknown {
  static constexpr IID kIid = {0xefedc989, 0xc396, 0x41ca, {0x83, 0xf7, 0x07, 0xf8, 0x45, 0xa5, 0x57, 0x24}};
  virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender, ICoreWebView2DownloadStartingEventArgs* args) = 0;
};

// --- runtime objects (implemented by the runtime) ---

struct ICoreWebView2Environment : IUnknown {
  static constexpr IID kIid = {0xb96d755e, 0x0319, 0x4e92, {0xa2, 0x96, 0x23, 0x43, 0x6f, 0x46, 0xa1, 0xfc}};
  virtual HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(
      HWND parent, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) = 0;
};

struct ICoreWebView2Settings : IUnknown {
  static constexpr IID kIid = {0xe562e4f0, 0xd7fa, 0x43ac, {0x8d, 0x71, 0xc0, 0x51, 0x50, 0x49, 0x9f, 0x00}};
  virtual HRESULT STDMETHODCALLTYPE get_IsScriptEnabled(BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsScriptEnabled(BOOL) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsWebMessageEnabled(BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsWebMessageEnabled(BOOL) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AreDefaultScriptDialogsEnabled(BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_AreDefaultScriptDialogsEnabled(BOOL) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsStatusBarEnabled(BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsStatusBarEnabled(BOOL) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AreDevToolsEnabled(BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_AreDevToolsEnabled(BOOL) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AreDefaultContextMenusEnabled(BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_AreDefaultContextMenusEnabled(BOOL) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AreHostObjectsAllowed(BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_AreHostObjectsAllowed(BOOL) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsZoomControlEnabled(BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsZoomControlEnabled(BOOL) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsBuiltInErrorPageEnabled(BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsBuiltInErrorPageEnabled(BOOL) = 0;
};

struct ICoreWebView2Settings2 : ICoreWebView2Settings {
  static constexpr IID kIid = {0xee9a0f68, 0xf46c, 0x4e32, {0xac, 0x23, 0xef, 0x8c, 0xac, 0x22, 0x4d, 0x2a}};
  virtual HRESULT STDMETHODCALLTYPE get_UserAgent(LPWSTR*) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_UserAgent(LPCWSTR) = 0;
};

struct ICoreWebView2Settings3 : ICoreWebView2Settings2 {
  static constexpr IID kIid = {0xfdb5ab74, 0xaf33, 0x4854, {0x84, 0xf0, 0x0a, 0x63, 0x1d, 0xeb, 0x5e, 0xba}};
  virtual HRESULT STDMETHODCALLTYPE get_AreBrowserAcceleratorKeysEnabled(BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_AreBrowserAcceleratorKeysEnabled(BOOL) = 0;
};

struct ICoreWebView2Settings4 : ICoreWebView2Settings3 {
  static constexpr IID kIid = {0xcb56846c, 0x4168, 0x4d53, {0xb0, 0x4f, 0x03, 0xb6, 0xd6, 0x79, 0x6f, 0xf2}};
  virtual HRESULT STDMETHODCALLTYPE get_IsPasswordAutosaveEnabled(BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsPasswordAutosaveEnabled(BOOL) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsGeneralAutofillEnabled(BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsGeneralAutofillEnabled(BOOL) = 0;
};

struct ICoreWebView2Settings5 : ICoreWebView2Settings4 {
  static constexpr IID kIid = {0x183e7052, 0x1d03, 0x43a0, {0xab, 0x99, 0x98, 0xe0, 0x43, 0xb6, 0x6b, 0x39}};
  virtual HRESULT STDMETHODCALLTYPE get_IsPinchZoomEnabled(BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsPinchZoomEnabled(BOOL) = 0;
};

struct ICoreWebView2Settings6 : ICoreWebView2Settings5 {
  static constexpr IID kIid = {0x11cb3acd, 0x9bc8, 0x43b8, {0x83, 0xbf, 0xf4, 0x07, 0x53, 0x71, 0x4f, 0x87}};
  virtual HRESULT STDMETHODCALLTYPE get_IsSwipeNavigationEnabled(BOOL*) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsSwipeNavigationEnabled(BOOL) = 0;
};

struct ICoreWebView2 : IUnknown {
  static constexpr IID kIid = {0x76eceacb, 0x0462, 0x4d94, {0xac, 0x83, 0x42, 0x3a, 0x67, 0x93, 0x77, 0x5e}};
  virtual HRESULT STDMETHODCALLTYPE get_Settings(ICoreWebView2Settings** settings) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* uri) = 0;
  virtual HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR uri) = 0;
  virtual HRESULT STDMETHODCALLTYPE NavigateToString(LPCWSTR html) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_NavigationStarting(ICoreWebView2NavigationStartingEventHandler* handler,
                                                           EventToken* token) = 0;
  TARN_WV2_SLOT(remove_NavigationStarting);
  TARN_WV2_SLOT(add_ContentLoading);
  TARN_WV2_SLOT(remove_ContentLoading);
  TARN_WV2_SLOT(add_SourceChanged);
  TARN_WV2_SLOT(remove_SourceChanged);
  TARN_WV2_SLOT(add_HistoryChanged);
  TARN_WV2_SLOT(remove_HistoryChanged);
  virtual HRESULT STDMETHODCALLTYPE add_NavigationCompleted(ICoreWebView2NavigationCompletedEventHandler* handler,
                                                            EventToken* token) = 0;
  TARN_WV2_SLOT(remove_NavigationCompleted);
  TARN_WV2_SLOT(add_FrameNavigationStarting);
  TARN_WV2_SLOT(remove_FrameNavigationStarting);
  TARN_WV2_SLOT(add_FrameNavigationCompleted);
  TARN_WV2_SLOT(remove_FrameNavigationCompleted);
  TARN_WV2_SLOT(add_ScriptDialogOpening);
  TARN_WV2_SLOT(remove_ScriptDialogOpening);
  TARN_WV2_SLOT(add_PermissionRequested);
  TARN_WV2_SLOT(remove_PermissionRequested);
  TARN_WV2_SLOT(add_ProcessFailed);
  TARN_WV2_SLOT(remove_ProcessFailed);
  TARN_WV2_SLOT(AddScriptToExecuteOnDocumentCreated);
  TARN_WV2_SLOT(RemoveScriptToExecuteOnDocumentCreated);
  TARN_WV2_SLOT(ExecuteScript);
  TARN_WV2_SLOT(CapturePreview);
  TARN_WV2_SLOT(Reload);
  virtual HRESULT STDMETHODCALLTYPE PostWebMessageAsJson(LPCWSTR json) = 0;
  virtual HRESULT STDMETHODCALLTYPE PostWebMessageAsString(LPCWSTR text) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_WebMessageReceived(ICoreWebView2WebMessageReceivedEventHandler* handler,
                                                           EventToken* token) = 0;
  TARN_WV2_SLOT(remove_WebMessageReceived);
  TARN_WV2_SLOT(CallDevToolsProtocolMethod);
  TARN_WV2_SLOT(get_BrowserProcessId);
  TARN_WV2_SLOT(get_CanGoBack);
  TARN_WV2_SLOT(get_CanGoForward);
  TARN_WV2_SLOT(GoBack);
  TARN_WV2_SLOT(GoForward);
  TARN_WV2_SLOT(GetDevToolsProtocolEventReceiver);
  TARN_WV2_SLOT(Stop);
  virtual HRESULT STDMETHODCALLTYPE add_NewWindowRequested(ICoreWebView2NewWindowRequestedEventHandler* handler,
                                                           EventToken* token) = 0;
  TARN_WV2_SLOT(remove_NewWindowRequested);
  TARN_WV2_SLOT(add_DocumentTitleChanged);
  TARN_WV2_SLOT(remove_DocumentTitleChanged);
  TARN_WV2_SLOT(get_DocumentTitle);
  TARN_WV2_SLOT(AddHostObjectToScript);
  TARN_WV2_SLOT(RemoveHostObjectFromScript);
  TARN_WV2_SLOT(OpenDevToolsWindow);
  TARN_WV2_SLOT(add_ContainsFullScreenElementChanged);
  TARN_WV2_SLOT(remove_ContainsFullScreenElementChanged);
  TARN_WV2_SLOT(get_ContainsFullScreenElement);
  TARN_WV2_SLOT(add_WebResourceRequested);
  TARN_WV2_SLOT(remove_WebResourceRequested);
  TARN_WV2_SLOT(AddWebResourceRequestedFilter);
  TARN_WV2_SLOT(RemoveWebResourceRequestedFilter);
  TARN_WV2_SLOT(add_WindowCloseRequested);
  TARN_WV2_SLOT(remove_WindowCloseRequested);
};

struct ICoreWebView2_2 : ICoreWebView2 {
  static constexpr IID kIid = {0x9e8f0cf8, 0xe670, 0x4b5e, {0xb2, 0xbc, 0x73, 0xe0, 0x61, 0xe3, 0x18, 0x4c}};
  TARN_WV2_SLOT(add_WebResourceResponseReceived);
  TARN_WV2_SLOT(remove_WebResourceResponseReceived);
  TARN_WV2_SLOT(NavigateWithWebResourceRequest);
  TARN_WV2_SLOT(add_DOMContentLoaded);
  TARN_WV2_SLOT(remove_DOMContentLoaded);
  TARN_WV2_SLOT(get_CookieManager);
  TARN_WV2_SLOT(get_Environment);
};

struct ICoreWebView2_3 : ICoreWebView2_2 {
  static constexpr IID kIid = {0xa0d6df20, 0x3b92, 0x416d, {0xaa, 0x0c, 0x43, 0x7a, 0x9c, 0x72, 0x78, 0x57}};
  TARN_WV2_SLOT(TrySuspend);
  TARN_WV2_SLOT(Resume);
  TARN_WV2_SLOT(get_IsSuspended);
  virtual HRESULT STDMETHODCALLTYPE SetVirtualHostNameToFolderMapping(LPCWSTR hostName, LPCWSTR folderPath,
                                                                      HostResourceAccessKind accessKind) = 0;
  TARN_WV2_SLOT(ClearVirtualHostNameToFolderMapping);
};

struct ICoreWebView2_4 : ICoreWebView2_3 {
  static constexpr IID kIid = {0x20d02d59, 0x6df2, 0x42dc, {0xbd, 0x06, 0xf9, 0x8a, 0x69, 0x4b, 0x13, 0x02}};
  TARN_WV2_SLOT(add_FrameCreated);
  TARN_WV2_SLOT(remove_FrameCreated);
  virtual HRESULT STDMETHODCALLTYPE add_DownloadStarting(ICoreWebView2DownloadStartingEventHandler* handler,
                                                         EventToken* token) = 0;
};

struct ICoreWebView2Controller : IUnknown {
  static constexpr IID kIid = {0x4d00c0d1, 0x9434, 0x4eb6, {0x80, 0x78, 0x86, 0x97, 0xa5, 0x60, 0x33, 0x4f}};
  virtual HRESULT STDMETHODCALLTYPE get_IsVisible(BOOL* visible) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsVisible(BOOL visible) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Bounds(RECT* bounds) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) = 0;
  TARN_WV2_SLOT(get_ZoomFactor);
  TARN_WV2_SLOT(put_ZoomFactor);
  TARN_WV2_SLOT(add_ZoomFactorChanged);
  TARN_WV2_SLOT(remove_ZoomFactorChanged);
  TARN_WV2_SLOT(SetBoundsAndZoomFactor);
  TARN_WV2_SLOT(MoveFocus);
  TARN_WV2_SLOT(add_MoveFocusRequested);
  TARN_WV2_SLOT(remove_MoveFocusRequested);
  TARN_WV2_SLOT(add_GotFocus);
  TARN_WV2_SLOT(remove_GotFocus);
  TARN_WV2_SLOT(add_LostFocus);
  TARN_WV2_SLOT(remove_LostFocus);
  TARN_WV2_SLOT(add_AcceleratorKeyPressed);
  TARN_WV2_SLOT(remove_AcceleratorKeyPressed);
  TARN_WV2_SLOT(get_ParentWindow);
  TARN_WV2_SLOT(put_ParentWindow);
  virtual HRESULT STDMETHODCALLTYPE NotifyParentWindowPositionChanged() = 0;
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
  virtual HRESULT STDMETHODCALLTYPE get_CoreWebView2(ICoreWebView2** webView) = 0;
};

struct ICoreWebView2Controller2 : ICoreWebView2Controller {
  static constexpr IID kIid = {0xc979903e, 0xd4ca, 0x4228, {0x92, 0xeb, 0x47, 0xee, 0x3f, 0xa9, 0x6e, 0xab}};
  TARN_WV2_SLOT(get_DefaultBackgroundColor);
  virtual HRESULT STDMETHODCALLTYPE put_DefaultBackgroundColor(Color color) = 0;
};

struct ICoreWebView2Controller3 : ICoreWebView2Controller2 {
  static constexpr IID kIid = {0xf9614724, 0x5d2b, 0x41dc, {0xae, 0xf7, 0x73, 0xd6, 0x2b, 0x51, 0x54, 0x3b}};
  TARN_WV2_SLOT(get_RasterizationScale);
  TARN_WV2_SLOT(put_RasterizationScale);
  TARN_WV2_SLOT(get_ShouldDetectMonitorScaleChanges);
  TARN_WV2_SLOT(put_ShouldDetectMonitorScaleChanges);
  TARN_WV2_SLOT(add_RasterizationScaleChanged);
  TARN_WV2_SLOT(remove_RasterizationScaleChanged);
  TARN_WV2_SLOT(get_BoundsMode);
  TARN_WV2_SLOT(put_BoundsMode);
};

struct ICoreWebView2Controller4 : ICoreWebView2Controller3 {
  static constexpr IID kIid = {0x97d418d5, 0xa426, 0x4e49, {0xa1, 0x51, 0xe1, 0xa1, 0x0f, 0x32, 0x7d, 0x9e}};
  TARN_WV2_SLOT(get_AllowExternalDrop);
  virtual HRESULT STDMETHODCALLTYPE put_AllowExternalDrop(BOOL allow) = 0;
};

#undef TARN_WV2_SLOT

// The runtime's own entry point, exported by EmbeddedBrowserWebView.dll.
// The SDK's loader library finds that file and calls this; the host does
// the same itself. The first argument asks the runtime to reuse a browser
// process already running for the same profile; the second says that the
// runtime is an installed one (not shipped beside the program).
using CreateEnvironmentInternal = HRESULT(STDMETHODCALLTYPE*)(
    bool reuseBrowserProcess, int runtimeKind, LPCWSTR userDataFolder, IUnknown* options,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler);
inline constexpr char kCreateEnvironmentExport[] = "CreateWebViewEnvironmentWithOptionsInternal";

}  // namespace tarn::webview2

#pragma GCC diagnostic pop

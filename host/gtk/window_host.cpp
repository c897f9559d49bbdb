#include "host/gtk/window_host.h"

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "host/common/job_watch.h"
#include "host/common/web_page.h"
#include "host/common/window_layout.h"
#include "host/gtk/desktop_notice.h"
#include "host/gtk/desktop_proxy.h"
#include "host/gtk/glib_owners.h"
#include "host/gtk/page_bridge.h"
#include "host/gtk/single_instance.h"
#include "host/gtk/ui_folder.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

constexpr GdkRGBA kBackground = {0x0B / 255.0, 0x11 / 255.0, 0x1A / 255.0, 1.0};

// Shown when the web view's own process cannot start: without it nothing
// of the launcher can work, so the player is told what to install.
constexpr const char* kWebViewFailedText =
    "Не удалось запустить компонент WebKitGTK.\n\n"
    "Установите пакет WebKitGTK (libwebkit2gtk-4.1) из репозитория вашего дистрибутива и запустите лаунчер заново.";

// The one window of the process and what hangs off it. Written on the main
// thread only; tasks reach it solely through the Event queue below.
struct Host {
  WindowHostSetup setup;
  std::string uiPrefix;
  GtkWidget* window = nullptr;
  WebKitWebView* view = nullptr;
  bool pageCommitted = false;
  std::thread::id mainThread;
  JobWatch jobs;
};

Host& TheHost() {
  static auto* host = new Host;  // never destroyed: tasks may post during exit
  return *host;
}

// Events from any thread, delivered on the main loop in posting order. One
// idle source drains the whole queue, so a burst of progress Events costs
// one wake-up rather than one each. A long job's begin and end travel in
// the same queue, so they fall where the job put them among its Events.
struct Posted {
  std::string event;
  std::optional<JobSignal> signal;
};

struct EventQueue {
  std::mutex mutex;
  std::deque<Posted> events;
  bool scheduled = false;
};

EventQueue& TheQueue() {
  static auto* queue = new EventQueue;
  return *queue;
}

// Whether the player has the window before them: shown, not minimised and
// holding the focus.
bool WindowInFront() {
  GtkWidget* window = TheHost().window;
  GdkWindow* gdkWindow = window ? gtk_widget_get_window(window) : nullptr;
  if (!gdkWindow || !gtk_widget_get_visible(window)) return false;
  if (gdk_window_get_state(gdkWindow) & (GDK_WINDOW_STATE_ICONIFIED | GDK_WINDOW_STATE_WITHDRAWN)) return false;
  return gtk_window_is_active(GTK_WINDOW(window));
}

// A job that ended while the player looks elsewhere is told on the
// desktop.
void ServeJobSignal(const JobSignal& signal) {
  Host& host = TheHost();
  Log& log = host.setup.launcher->context.log;
  if (const auto notice = NoticeToShow(host.jobs, signal, WindowInFront(), log)) ShowDesktopNotice(log, *notice);
}

gboolean DeliverEvents(gpointer) {
  std::deque<Posted> batch;
  {
    EventQueue& q = TheQueue();
    std::lock_guard lock(q.mutex);
    batch.swap(q.events);
    q.scheduled = false;
  }
  WebKitWebView* view = TheHost().view;
  if (!view) return G_SOURCE_REMOVE;
  for (const Posted& posted : batch) {
    if (posted.signal) {
      ServeJobSignal(*posted.signal);
      continue;
    }
    const std::string& event = posted.event;
    WatchEvent(TheHost().jobs, event);
    const std::string script = EventDeliveryScript(event);
    webkit_web_view_evaluate_javascript(view, script.data(), static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
  }
  return G_SOURCE_REMOVE;
}

void Queue(Posted posted) {
  EventQueue& q = TheQueue();
  std::lock_guard lock(q.mutex);
  q.events.push_back(std::move(posted));
  if (!q.scheduled) {
    q.scheduled = true;
    g_idle_add_full(G_PRIORITY_DEFAULT, DeliverEvents, nullptr, nullptr);
  }
}

void QueueEvent(const std::string& event) { Queue({event, std::nullopt}); }

void QueueJobSignal(const JobSignal& signal) { Queue({{}, signal}); }

// Addresses go to the desktop's default handler for their scheme; a local
// path becomes a file:// address first. Whether anything opened is not
// reported to anyone.
void OpenWithDesktop(const std::string& target, const std::string&) {
  if (target.empty()) return;
  std::string uri = target;
  if (target[0] == '/') {
    GCharPtr converted(g_filename_to_uri(target.c_str(), nullptr, nullptr));
    if (!converted) return;
    uri = converted.get();
  }
  GError* error = nullptr;
  g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &error);
  GErrorPtr dropped(error);
}

// One folder question, answered on the main thread.
struct FolderRequest {
  FolderDialog dialog;
  std::promise<std::optional<std::string>> answer;
};

GtkFileChooserNative* NewFolderChooser(const FolderDialog& dialog) {
  GtkFileChooserNative* chooser =
      gtk_file_chooser_native_new(dialog.title.c_str(), GTK_WINDOW(TheHost().window),
                                  GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, dialog.acceptLabel.c_str(), nullptr);
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
  if (!dialog.startFolder.empty())
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), dialog.startFolder.c_str());
  return chooser;
}

std::optional<std::string> ChosenFolder(GtkFileChooserNative* chooser, gint response) {
  if (response != GTK_RESPONSE_ACCEPT) return std::nullopt;
  GCharPtr folder(gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser)));
  if (!folder) return std::nullopt;
  return std::string(folder.get());
}

void OnFolderResponse(GtkNativeDialog* dialog, gint response, gpointer data) {
  std::unique_ptr<FolderRequest> request(static_cast<FolderRequest*>(data));
  request->answer.set_value(ChosenFolder(GTK_FILE_CHOOSER_NATIVE(dialog), response));
  g_object_unref(dialog);
}

gboolean ShowFolderChooser(gpointer data) {
  auto* request = static_cast<FolderRequest*>(data);
  // Asked while the window closed: nobody is there to answer.
  if (!TheHost().window) {
    std::unique_ptr<FolderRequest> dropped(request);
    dropped->answer.set_value(std::nullopt);
    return G_SOURCE_REMOVE;
  }
  GtkFileChooserNative* chooser = NewFolderChooser(request->dialog);
  g_signal_connect(chooser, "response", G_CALLBACK(OnFolderResponse), request);
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
  return G_SOURCE_REMOVE;
}

// GTK may only be touched on the main thread, so a task hands the question
// to the main loop and waits there for the answer. The main thread itself
// (never the case today) asks directly rather than waiting on itself.
std::optional<std::string> PickFolderOnMainThread(const FolderDialog& dialog) {
  if (std::this_thread::get_id() == TheHost().mainThread) {
    GObjectPtr<GtkFileChooserNative> chooser(NewFolderChooser(dialog));
    const gint response = gtk_native_dialog_run(GTK_NATIVE_DIALOG(chooser.get()));
    return ChosenFolder(chooser.get(), response);
  }
  auto request = std::make_unique<FolderRequest>();
  request->dialog = dialog;
  std::future<std::optional<std::string>> answer = request->answer.get_future();
  // An idle source, not g_main_context_invoke: between two turns of the
  // loop the latter would run the dialog right here on the task's thread.
  g_idle_add_full(G_PRIORITY_DEFAULT, ShowFolderChooser, request.release(), nullptr);
  return answer.get();
}

void ShowMessageBox(const char* text) {
  GtkWidget* box = gtk_message_dialog_new(GTK_WINDOW(TheHost().window), GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR,
                                          GTK_BUTTONS_OK, "%s", text);
  gtk_window_set_title(GTK_WINDOW(box), std::string(kWindowTitle).c_str());
  gtk_dialog_run(GTK_DIALOG(box));
  gtk_widget_destroy(box);
}

// Brings the window up for the player: shown if still hidden, restored if
// minimized, raised and focused where the window manager allows it.
void PresentWindow() {
  GtkWindow* window = GTK_WINDOW(TheHost().window);
  if (!window) return;
  gtk_widget_show(GTK_WIDGET(window));
  gtk_window_deiconify(window);
  guint32 timestamp = GDK_CURRENT_TIME;
#ifdef GDK_WINDOWING_X11
  // Window managers refuse focus to requests without a real time stamp.
  GdkWindow* gdkWindow = gtk_widget_get_window(GTK_WIDGET(window));
  if (gdkWindow && GDK_IS_X11_WINDOW(gdkWindow)) timestamp = gdk_x11_get_server_time(gdkWindow);
#endif
  gtk_window_present_with_time(window, timestamp);
}

gboolean OnInstanceRequest(gint fd, GIOCondition, gpointer) {
  if (TakePresentRequests(fd) > 0) PresentWindow();
  return G_SOURCE_CONTINUE;
}

void BeginDrag() {
  GtkWidget* window = TheHost().window;
  GdkSeat* seat = gdk_display_get_default_seat(gtk_widget_get_display(window));
  GdkDevice* pointer = seat ? gdk_seat_get_pointer(seat) : nullptr;
  if (!pointer) return;
  gint x = 0;
  gint y = 0;
  gdk_device_get_position(pointer, nullptr, &x, &y);
  // The page saw the button go down; the window manager (or GDK in its
  // absence) takes the pointer from here until the button comes up.
  gtk_window_begin_move_drag(GTK_WINDOW(window), GDK_BUTTON_PRIMARY, x, y, GDK_CURRENT_TIME);
}

void ServeWindowCommand(std::string_view command) {
  GtkWindow* window = GTK_WINDOW(TheHost().window);
  switch (ParseWindowCommand(command)) {
    case WindowCommand::Drag: BeginDrag(); break;
    case WindowCommand::Minimize: gtk_window_iconify(window); break;
    case WindowCommand::Close: gtk_window_close(window); break;
    case WindowCommand::Other: break;
  }
}

// Only string messages are Commands; anything else the page posts is
// ignored. The whole string is kept, embedded NULs included, so Dispatch
// compares exactly what the page sent.
void OnScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
  JSCValue* value = webkit_javascript_result_get_js_value(result);
  if (!value || !jsc_value_is_string(value)) return;
  GBytes* bytes = jsc_value_to_string_as_bytes(value);
  if (!bytes) return;
  gsize size = 0;
  const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  std::string command(data ? data : "", data ? size : 0);
  g_bytes_unref(bytes);

  ServeWindowCommand(command);
  const Host& host = TheHost();
  if (host.setup.command)
    host.setup.command(command);
  else
    Dispatch(*host.setup.launcher, command);
}

const char* RequestUri(WebKitNavigationAction* action) {
  WebKitURIRequest* request = action ? webkit_navigation_action_get_request(action) : nullptr;
  return request ? webkit_uri_request_get_uri(request) : nullptr;
}

// WebKitGTK asks about the navigations of every frame and does not say
// which frame navigates, so an outside address loaded by an iframe (a video
// in a news item, say) or by a script looks just like the page leaving.
// Only a link, a form or a player's gesture goes on to the browser; the
// rest is just stopped, so content never opens browser tabs by itself.
bool StartedByThePlayer(WebKitNavigationAction* action) {
  const WebKitNavigationType type = webkit_navigation_action_get_navigation_type(action);
  return type == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED || type == WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED ||
         webkit_navigation_action_is_user_gesture(action);
}

// Keeps the view on the program's own page: web addresses leave for the
// browser, other schemes go nowhere, and new windows are never made here.
gboolean OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer) {
  if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const char* uri = RequestUri(action);
    if (!uri) return FALSE;
    switch (DecideNavigation(uri, TheHost().uiPrefix)) {
      case NavigationVerdict::Allow: webkit_policy_decision_use(decision); break;
      case NavigationVerdict::CancelAndOpen:
        webkit_policy_decision_ignore(decision);
        if (StartedByThePlayer(action)) ShellOpen(TheHost().setup.launcher->context, uri);
        break;
      case NavigationVerdict::Cancel: webkit_policy_decision_ignore(decision); break;
    }
    return TRUE;
  }
  if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const std::string uri = RequestUri(action) ? RequestUri(action) : "";
    webkit_policy_decision_ignore(decision);
    if (MayOpenNewWindowAddress(uri)) ShellOpen(TheHost().setup.launcher->context, uri);
    return TRUE;
  }
  return FALSE;
}

// A script's window.open arrives here rather than as a new-window
// decision; it gets the same answer: a web or mail address goes to the
// desktop, nothing else does, and no window is made.
GtkWidget* OnCreateWindow(WebKitWebView*, WebKitNavigationAction* action, gpointer) {
  const char* uri = RequestUri(action);
  if (uri && MayOpenNewWindowAddress(uri)) ShellOpen(TheHost().setup.launcher->context, uri);
  return nullptr;
}

void OnDownloadStarted(WebKitWebContext*, WebKitDownload* download, gpointer) { webkit_download_cancel(download); }

// A navigation this program stopped on purpose (the policy above, a
// cancelled download) leaves the page as it was; any other failure of the
// main frame replaces it with the error page and WebKit's error number.
gboolean OnLoadFailed(WebKitWebView* view, WebKitLoadEvent, gchar* failingUri, GError* error, gpointer) {
  const bool stoppedHere =
      error && ((error->domain == WEBKIT_NETWORK_ERROR && error->code == WEBKIT_NETWORK_ERROR_CANCELLED) ||
                (error->domain == WEBKIT_POLICY_ERROR &&
                 error->code == WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE));
  if (stoppedHere) return TRUE;
  const std::string html = ErrorPageHtml(error ? error->code : 0);
  webkit_web_view_load_alternate_html(view, html.c_str(), failingUri, nullptr);
  return TRUE;
}

void OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer) {
  if (event == WEBKIT_LOAD_COMMITTED) TheHost().pageCommitted = true;
}

// Without its web process the launcher has no surface at all. At start-up
// that means WebKit cannot run here: say so and end. Later the page is
// simply gone until the next start, as on Windows.
void OnWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer) {
  LogLine(TheHost().setup.launcher->context.log, "веб-процесс завершился, причина %d", static_cast<int>(reason));
  if (TheHost().pageCommitted) return;
  ShowMessageBox(kWebViewFailedText);
  gtk_window_close(GTK_WINDOW(TheHost().window));
}

gboolean CloseWindow(gpointer) {
  if (TheHost().window) gtk_window_close(GTK_WINDOW(TheHost().window));
  return G_SOURCE_REMOVE;
}

// Asked from a task: the window is the main thread's.
void CloseOnMainThread() { g_idle_add(CloseWindow, nullptr); }

gboolean RefuseContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*, gpointer) {
  return TRUE;
}

// The surface is an application, not a document: whatever changes the zoom
// (keys, wheel, gestures) is undone at once.
void KeepZoomAtOne(GObject* view, GParamSpec*, gpointer) {
  if (webkit_web_view_get_zoom_level(WEBKIT_WEB_VIEW(view)) != 1.0)
    webkit_web_view_set_zoom_level(WEBKIT_WEB_VIEW(view), 1.0);
}

// Serves a file of the UI folder for a page address. Anything outside the
// folder, missing or unreadable fails the request with WebKit's own
// "file does not exist" error, which the error page then shows.
void ServeUiFile(WebKitURISchemeRequest* request, gpointer) {
  const char* uri = webkit_uri_scheme_request_get_uri(request);
  const std::string path = ResolveUiFile(TheHost().setup.uiFolder, uri ? uri : "");
  GFileInputStream* stream = nullptr;
  if (!path.empty()) {
    GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
    stream = g_file_read(file.get(), nullptr, nullptr);
  }
  if (!stream) {
    GErrorPtr error(g_error_new_literal(WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_FILE_DOES_NOT_EXIST,
                                        "not in the UI folder"));
    webkit_uri_scheme_request_finish_error(request, error.get());
    return;
  }
  GObjectPtr<GFileInputStream> owned(stream);
  gint64 size = -1;
  if (GFileInfo* info = g_file_input_stream_query_info(stream, G_FILE_ATTRIBUTE_STANDARD_SIZE, nullptr, nullptr)) {
    size = g_file_info_get_size(info);
    g_object_unref(info);
  }
  const std::string mime(MimeTypeFor(path));
  webkit_uri_scheme_request_finish(request, G_INPUT_STREAM(stream), size, mime.c_str());
}

WebKitSettings* NewSettings() {
  WebKitSettings* settings = webkit_settings_new();
  webkit_settings_set_enable_developer_extras(settings, FALSE);
  webkit_settings_set_enable_caret_browsing(settings, FALSE);
  webkit_settings_set_enable_back_forward_navigation_gestures(settings, FALSE);
  webkit_settings_set_enable_write_console_messages_to_stdout(settings, FALSE);
  webkit_settings_set_allow_file_access_from_file_urls(settings, FALSE);
  webkit_settings_set_allow_universal_access_from_file_urls(settings, FALSE);
  // Script-opened windows must reach the new-window policy (and from there
  // the browser) instead of being swallowed by the pop-up blocker.
  webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
  return settings;
}

WebKitWebContext* NewContext(const std::string& profileFolder) {
  const std::string cacheFolder = JoinPath(profileFolder, "cache");
  GObjectPtr<WebKitWebsiteDataManager> data(webkit_website_data_manager_new(
      "base-data-directory", profileFolder.c_str(), "base-cache-directory", cacheFolder.c_str(), nullptr));
  WebKitWebContext* context = webkit_web_context_new_with_website_data_manager(data.get());
  webkit_web_context_register_uri_scheme(context, std::string(kUiScheme).c_str(), ServeUiFile, nullptr, nullptr);
  webkit_security_manager_register_uri_scheme_as_secure(webkit_web_context_get_security_manager(context),
                                                        std::string(kUiScheme).c_str());
  g_signal_connect(context, "download-started", G_CALLBACK(OnDownloadStarted), nullptr);
  return context;
}

WebKitUserContentManager* NewContentManager() {
  WebKitUserContentManager* content = webkit_user_content_manager_new();
  const std::string script = PageBridgeScript();
  WebKitUserScript* bridge = webkit_user_script_new(script.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                    WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(content, bridge);
  webkit_user_script_unref(bridge);
  const std::string signal = "script-message-received::" + std::string(kMessageHandlerName);
  g_signal_connect(content, signal.c_str(), G_CALLBACK(OnScriptMessage), nullptr);
  webkit_user_content_manager_register_script_message_handler(content, std::string(kMessageHandlerName).c_str());
  return content;
}

// The page's menus, zoom, navigation policy, new windows and the web
// process's fate.
void ConnectPagePolicy(WebKitWebView* view) {
  g_signal_connect(view, "context-menu", G_CALLBACK(RefuseContextMenu), nullptr);
  g_signal_connect(view, "notify::zoom-level", G_CALLBACK(KeepZoomAtOne), nullptr);
  g_signal_connect(view, "decide-policy", G_CALLBACK(OnDecidePolicy), nullptr);
  g_signal_connect(view, "create", G_CALLBACK(OnCreateWindow), nullptr);
  g_signal_connect(view, "load-changed", G_CALLBACK(OnLoadChanged), nullptr);
  g_signal_connect(view, "web-process-terminated", G_CALLBACK(OnWebProcessTerminated), nullptr);
}

// The view fills the window's client area; give it that size now so the
// diagnostic lines report what the player will see.
void FitToWindow(GtkWidget* window, GtkWidget* viewWidget) {
  Log& log = TheHost().setup.launcher->context.log;
  const int scale = gtk_widget_get_scale_factor(window);
  int width = 0;
  int height = 0;
  gtk_window_get_size(GTK_WINDOW(window), &width, &height);
  LogHostLine(log, "клиент  %dx%d", width * scale, height * scale);
  GtkRequisition minimum;
  gtk_widget_get_preferred_size(viewWidget, &minimum, nullptr);
  GtkAllocation bounds = {0, 0, width, height};
  gtk_widget_size_allocate(viewWidget, &bounds);
  LogHostLine(log, "bounds  hr=0x%08X -> %dx%d", 0u, gtk_widget_get_allocated_width(viewWidget) * scale,
              gtk_widget_get_allocated_height(viewWidget) * scale);
  LogHostLine(log, "видим   %d", gtk_widget_get_visible(viewWidget) ? 1 : 0);
}

// Runs from the main loop once it turns, so that a later copy started in
// the meantime can already present the still empty window.
gboolean CreateWebView(gpointer) {
  Host& host = TheHost();
  const std::string dataFolder = JoinPath(StateDirFor(host.setup.exeDir), "data");
  MakeFolder(dataFolder);
  const std::string profileFolder = JoinPath(dataFolder, "webview");

  GObjectPtr<WebKitWebContext> context(NewContext(profileFolder));
  GObjectPtr<WebKitUserContentManager> content(NewContentManager());
  GObjectPtr<WebKitSettings> settings(NewSettings());
  host.view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context.get(), "user-content-manager",
                                           content.get(), "settings", settings.get(), nullptr));
  webkit_web_view_set_background_color(host.view, &kBackground);

  InstallHostSlots(host.setup.launcher->context,
                   {
                       .post = QueueEvent,
                       .open = OpenWithDesktop,
                       .pickFolder = PickFolderOnMainThread,
                       .dataFolder = dataFolder,
                       .desktopProxy = DesktopProxy,
                       .close = CloseOnMainThread,
                       .job = QueueJobSignal,
                   },
                   LoadServiceEndpoint(host.setup.launcher->context.log, host.setup.exeDir));

  ConnectPagePolicy(host.view);

  GtkWidget* viewWidget = GTK_WIDGET(host.view);
  gtk_container_add(GTK_CONTAINER(host.window), viewWidget);
  // Files dropped on the window must not reach the page (or navigate to
  // file:// addresses): the view accepts no drops at all.
  gtk_drag_dest_unset(viewWidget);
  gtk_widget_show(viewWidget);

  FitToWindow(host.window, viewWidget);

  g_signal_connect(host.view, "load-failed", G_CALLBACK(OnLoadFailed), nullptr);
  webkit_web_view_load_uri(host.view, (host.uiPrefix + std::string(kStartPage)).c_str());

  gtk_widget_show(host.window);
  gtk_widget_queue_draw(host.window);
  LogHostLine(TheHost().setup.launcher->context.log, "видим после показа %d", gtk_widget_is_visible(viewWidget) ? 1 : 0);
  return G_SOURCE_REMOVE;
}

void OnWindowDestroyed(GtkWidget*, gpointer) {
  TheHost().window = nullptr;
  TheHost().view = nullptr;
  if (gtk_main_level() > 0) gtk_main_quit();
}

// The window's own background matches the page's, so the moment between
// showing the window and the first paint of the page is not a grey flash.
void PaintBackground(GtkWidget* window) {
  GObjectPtr<GtkCssProvider> css(gtk_css_provider_new());
  gtk_css_provider_load_from_data(css.get(), "window { background-color: #0B111A; }", -1, nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(window), GTK_STYLE_PROVIDER(css.get()),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

// Size and place in device pixels of the primary monitor, whatever its
// scale: GTK works in scaled units, so both are divided back.
void PlaceWindow(GtkWindow* window) {
  GdkDisplay* display = gdk_display_get_default();
  GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
  if (!monitor && gdk_display_get_n_monitors(display) > 0) monitor = gdk_display_get_monitor(display, 0);
  int scale = monitor ? gdk_monitor_get_scale_factor(monitor) : 1;
  if (scale < 1) scale = 1;
  GdkRectangle area = {0, 0, kWindowWidth, kWindowHeight};
  if (monitor) gdk_monitor_get_geometry(monitor, &area);
  gtk_window_set_default_size(window, kWindowWidth / scale, kWindowHeight / scale);
  const int x = CenteredOrigin(area.width * scale, kWindowWidth) / scale;
  const int y = CenteredOrigin(area.height * scale, kWindowHeight) / scale;
  gtk_window_move(window, area.x + x, area.y + y);
}

}  // namespace

bool StartWindowHost(WindowHostSetup setup) {
  Host& host = TheHost();
  if (host.window) gtk_widget_destroy(host.window);
  host = Host{};
  host.setup = std::move(setup);
  host.uiPrefix = UiPrefix();
  host.mainThread = std::this_thread::get_id();

  g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", TRUE, nullptr);
  host.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  if (!host.window) return false;
  GtkWindow* window = GTK_WINDOW(host.window);
  gtk_window_set_title(window, std::string(kWindowTitle).c_str());
  gtk_window_set_decorated(window, FALSE);
  PlaceWindow(window);
  PaintBackground(host.window);
  g_signal_connect(host.window, "destroy", G_CALLBACK(OnWindowDestroyed), nullptr);

  if (host.setup.instanceListener >= 0)
    g_unix_fd_add(host.setup.instanceListener, G_IO_IN, OnInstanceRequest, nullptr);
  g_idle_add(CreateWebView, nullptr);
  return true;
}

}  // namespace tarn

#include "host/gtk/desktop_notice.h"

#include <gio/gio.h>

#include <memory>
#include <string>

#include "host/common/window_layout.h"
#include "host/gtk/glib_owners.h"

namespace tarn {
namespace {

// What travels through the two asynchronous steps. The log is the
// launcher's, which outlives the main loop that carries the answers.
struct NoticeCall {
  Log* log;
  DesktopNotice notice;
};

// The application's name as the service shows it, and the desktop entry
// the package installs (its icon and name in the notification's header).
constexpr const char* kDesktopEntry = "tarn-launcher";
// Milliseconds; the service's own default when the notice goes unheard.
constexpr gint kServiceDefaultTimeout = -1;
constexpr gint kCallTimeoutMs = 5000;

void OnNotified(GObject* source, GAsyncResult* result, gpointer data) {
  GError* failure = nullptr;
  GVariantPtr reply(
      g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &failure));
  const GErrorPtr error(failure);
  if (error) LogLine(*static_cast<Log*>(data), "уведомление не показано: %s", error->message);
}

GVariant* NotifyArguments(const DesktopNotice& notice) {
  GVariantBuilder hints;
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string(kDesktopEntry));
  const std::string appName(kWindowTitle);
  return g_variant_new("(susss@asa{sv}i)", appName.c_str(), 0u, kDesktopEntry, notice.summary.c_str(),
                       notice.body.c_str(), g_variant_new_strv(nullptr, 0), &hints, kServiceDefaultTimeout);
}

void OnBus(GObject*, GAsyncResult* result, gpointer data) {
  const std::unique_ptr<NoticeCall> call(static_cast<NoticeCall*>(data));
  GError* failure = nullptr;
  const GObjectPtr<GDBusConnection> bus(g_bus_get_finish(result, &failure));
  const GErrorPtr error(failure);
  if (!bus) {
    LogLine(*call->log, "уведомление не показано: нет сеансовой шины (%s)", error ? error->message : "");
    return;
  }
  g_dbus_connection_call(bus.get(), "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                         "org.freedesktop.Notifications", "Notify", NotifyArguments(call->notice),
                         G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, OnNotified, call->log);
}

}  // namespace

void ShowDesktopNotice(Log& log, const DesktopNotice& notice) {
  g_bus_get(G_BUS_TYPE_SESSION, nullptr, OnBus, new NoticeCall{&log, notice});
}

}  // namespace tarn

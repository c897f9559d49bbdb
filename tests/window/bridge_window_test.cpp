// The bridge through a real WebKit view in this process: Events posted from
// task threads reach the page parsed and in order, hostile Event text stays
// data, only string messages become Commands, and the folder dialog asked
// for from a task is shown on the main thread.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "host/gtk/window_host.h"
#include "support/temp_dir.h"
#include "wiring/launcher.h"
#include "x_session.h"

// GTK and WebKit keep caches for the life of the process; they are not leaks
// of ours.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace tarn {
namespace {

using namespace std::chrono_literals;

// GTK opens its display once per process and ends the process when that
// display goes away, so all tests of one run share one X server.
class XDisplay : public ::testing::Environment {
 public:
  void SetUp() override {
    xvfb_ = std::make_unique<test::Xvfb>();
    ASSERT_TRUE(xvfb_->running());
    setenv("DISPLAY", xvfb_->display().c_str(), 1);
    setenv("GDK_BACKEND", "x11", 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
    setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 1);
    setenv("XDG_CACHE_HOME", (home_.str() + "/cache").c_str(), 1);
    setenv("XDG_DATA_HOME", (home_.str() + "/data").c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + home_.str() + "/no-bus").c_str(), 1);
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
  }
  // Only after the last test: GTK reads nothing more from it by then.
  void TearDown() override { xvfb_.reset(); }

 private:
  test::TempDir home_;
  std::unique_ptr<test::Xvfb> xvfb_;
};

[[maybe_unused]] ::testing::Environment* const kDisplay = ::testing::AddGlobalTestEnvironment(new XDisplay);

class WindowBridge : public ::testing::Test {
 protected:

  void Start(const std::string& page) {
    test::WriteFile(dir_.path() / "ui" / "index.html", "<!doctype html><meta charset='utf-8'>" + page);
    ASSERT_TRUE(StartWindowHost({.exeDir = dir_.str(),
                                 .uiFolder = (dir_.path() / "ui").string(),
                                 .instanceListener = -1,
                                 .command = [this](const std::string& c) { commands_.push_back(c); },
                                 .launcher = &launcher}));
  }

  // Runs the main loop until the condition holds or the time is up.
  template <typename Condition>
  bool Pump(Condition condition, std::chrono::seconds timeout = 20s) {
    const guint tick = g_timeout_add(20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool met = condition();
    while (!met && std::chrono::steady_clock::now() < deadline) {
      g_main_context_iteration(nullptr, TRUE);
      met = condition();
    }
    g_source_remove(tick);
    return met;
  }

  bool Received(const std::string& command) const {
    return std::find(commands_.begin(), commands_.end(), command) != commands_.end();
  }

  std::vector<std::string> Echoes() const {
    std::vector<std::string> out;
    for (const std::string& c : commands_)
      if (c.starts_with("got ")) out.push_back(c.substr(4));
    return out;
  }

  test::TempDir dir_;
  std::vector<std::string> commands_;
  Launcher launcher;
  LauncherContext& ctx = launcher.context;
};

TEST_F(WindowBridge, EventsArriveParsedAndInOrderAndCommandsOnlyAsStrings) {
  Start(R"(<script>
    const w = window.chrome.webview;
    w.addEventListener('message', (e) => w.postMessage('got ' + JSON.stringify(e.data)));
    w.postMessage({kind: 'object'});
    w.postMessage(['an array']);
    w.postMessage(7);
    w.postMessage(null);
    w.postMessage('window.minimize');
    w.postMessage('');
    w.postMessage('ready');
  </script>)");
  ASSERT_TRUE(Pump([&] { return Received("ready"); }));
  // Window commands are served by the host and still passed on; nothing but
  // strings got through.
  EXPECT_EQ(commands_, (std::vector<std::string>{"window.minimize", "", "ready"}));

  const std::vector<std::string> hostile = {
      R"({"t":"\"); window.chrome.webview.postMessage('pwned'); (\""})",
      R"({"t":"'); window.chrome.webview.postMessage('pwned'); ('"})",
      "{\"t\":\"</script><script>window.chrome.webview.postMessage('pwned')</script>\"}",
      "{\"t\":\"raw \u2028 separators \u2029 and \\u0000 escapes\"}",
      R"({"news":[{"title":"Обновление","body":"<b>ok</b>"}]})",
  };
  constexpr int kNumbered = 200;
  std::thread numbers([this] {
    for (int i = 0; i < kNumbered; ++i) PostToUi(ctx, "{\"n\":" + std::to_string(i) + "}");
  });
  std::thread others([&] {
    PostToUi(ctx, "not json at all");
    PostToUi(ctx, "{\"cut\":");
    for (const std::string& event : hostile) PostToUi(ctx, event);
  });
  numbers.join();
  others.join();

  ASSERT_TRUE(Pump([&] { return Echoes().size() >= kNumbered + hostile.size(); })) << Echoes().size();
  Pump([] { return false; }, 1s);  // anything late would arrive now

  std::vector<std::string> numbered;
  std::vector<std::string> rest;
  for (const std::string& echo : Echoes()) (echo.starts_with("{\"n\":") ? numbered : rest).push_back(echo);
  ASSERT_EQ(numbered.size(), static_cast<size_t>(kNumbered));
  for (int i = 0; i < kNumbered; ++i) EXPECT_EQ(numbered[i], "{\"n\":" + std::to_string(i) + "}");
  // Each hostile Event came back as the same JSON, once, in its order; the
  // unparsable ones were dropped.
  EXPECT_EQ(rest, hostile);
  EXPECT_FALSE(Received("pwned"));
}

TEST_F(WindowBridge, FolderDialogAskedForFromATaskOpensOnTheMainThread) {
  // Tasks exist only once the page runs, and so do the host's slots.
  Start("<script>window.chrome.webview.postMessage('ready')</script>");
  ASSERT_TRUE(Pump([&] { return Received("ready"); }));
  const std::string start = dir_.str();
  std::optional<std::string> chosen;
  std::optional<std::string> cancelled = "not answered";
  std::thread task([&] {
    chosen = PickFolder(ctx, {.title = "Куда установить игру", .acceptLabel = "Выбрать", .startFolder = start});
    cancelled = PickFolder(ctx, {.title = "Куда установить игру", .acceptLabel = "Выбрать", .startFolder = start});
  });

  auto answer = [&](gint response) {
    GtkWidget* dialog = nullptr;
    const bool shown = Pump([&] {
      GList* toplevels = gtk_window_list_toplevels();
      for (GList* l = toplevels; l; l = l->next)
        if (GTK_IS_FILE_CHOOSER_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data)) &&
            std::string(gtk_window_get_title(GTK_WINDOW(l->data))) == "Куда установить игру")
          dialog = GTK_WIDGET(l->data);
      g_list_free(toplevels);
      return dialog != nullptr;
    });
    if (shown) {
      // Let the dialog settle on its start folder before it is answered.
      Pump([&] { return false; }, 1s);
      gtk_dialog_response(GTK_DIALOG(dialog), response);
    }
    return shown;
  };
  const bool first = answer(GTK_RESPONSE_ACCEPT);
  const bool second = first && answer(GTK_RESPONSE_CANCEL);
  if (!second) {
    // Unblock the task so the test can end; the failure is already noted.
    GList* toplevels = gtk_window_list_toplevels();
    for (GList* l = toplevels; l; l = l->next)
      if (GTK_IS_DIALOG(l->data)) gtk_dialog_response(GTK_DIALOG(l->data), GTK_RESPONSE_CANCEL);
    g_list_free(toplevels);
  }
  task.join();
  EXPECT_TRUE(first && second) << "the folder dialog did not appear";
  EXPECT_EQ(chosen, start);
  EXPECT_EQ(cancelled, std::nullopt);
}

}  // namespace
}  // namespace tarn

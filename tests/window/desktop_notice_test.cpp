// The word a long job leaves on the desktop: the real window under Xvfb,
// an install from the test's own service, and a notification daemon from
// Debian (dunst) on a session bus of the test's own, read back through the
// bus's monitor and the daemon's own count. Unfocused, the player gets one
// notification with the install's outcome; focused, none.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "launcher_fixture.h"
#include "support/service_fixture.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Capture;
using test::Child;
using test::WaitUntil;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

class DesktopNotice : public test::Launcher {
 protected:
  // A bus that activates nothing (a daemon started by the bus would outlive
  // the test), and lets the monitor see every call.
  bool StartBus() {
    const fs::path config = root_.path() / "bus.conf";
    test::WriteFile(config, "<busconfig><type>session</type><listen>" + BusAddress() +
                                "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                "<allow own=\"*\"/></policy></busconfig>");
    // Its complaint that an unprivileged bus cannot raise its file limit is
    // no concern of the test's.
    bus_ = std::make_unique<Child>(
        "/bin/sh", root_.str(), std::vector<std::string>{"PATH=/usr/bin:/bin"},
        std::vector<std::string>{"-c", "exec dbus-daemon --nofork --config-file=" + config.string() + " 2>/dev/null"});
    if (!WaitUntil([&] { return fs::exists(root_.path() / "bus"); }, 10s)) return false;

    const std::vector<std::string> env = {"DISPLAY=" + xvfb_->display(), "DBUS_SESSION_BUS_ADDRESS=" + BusAddress(),
                                          "HOME=" + root_.str() + "/home", "XDG_CONFIG_HOME=" + root_.str() + "/config",
                                          "PATH=/usr/bin:/bin"};
    daemon_ = std::make_unique<Child>("/usr/bin/dunst", root_.str(), env);
    if (!WaitUntil([&] { return Dunst("is-paused").starts_with("false"); }, 10s)) return false;
    monitor_ = std::make_unique<Child>(
        "/bin/sh", root_.str(), env,
        std::vector<std::string>{"-c", "exec dbus-monitor --address \"$DBUS_SESSION_BUS_ADDRESS\" "
                                       "\"type='method_call',interface='org.freedesktop.Notifications',member='Notify'\""
                                       " > " + Monitored().string()});
    return WaitUntil([&] { return test::ReadFile(Monitored()).find("NameAcquired") != std::string::npos; }, 10s);
  }

  std::string BusAddress() const { return "unix:path=" + root_.str() + "/bus"; }
  fs::path Monitored() const { return root_.path() / "notify-calls.txt"; }
  std::string Dunst(const std::string& what) {
    return Capture("DBUS_SESSION_BUS_ADDRESS='" + BusAddress() + "' dunstctl " + what + " 2>/dev/null");
  }
  int Shown() { return std::atoi(Dunst("count displayed").c_str()) + std::atoi(Dunst("count history").c_str()); }

  // The launcher on the test's bus, resuming an install into a saved
  // folder from a service slow enough that the test sets the focus first.
  std::unique_ptr<Child> StartInstall(test::ServiceProcess& service) {
    const fs::path site = root_.path() / "site";
    if (!test::MakeDemoSite(site, {"--size-mib", "4", "--files", "9"})) return nullptr;
    if (!service.Start({.site = site, .port = 0, .args = {"--throttle", "524288"}})) return nullptr;
    test::WriteFile(app_ / "service.url", service.Url(""));
    test::WriteFile(app_ / "data" / "install.cfg", "path=" + (root_.path() / "games" / "client").string() + "\r\n");
    WritePage("<script>window.chrome.webview.postMessage('install.resume');</script>");
    std::vector<std::string> env = Environment();
    for (std::string& line : env)
      if (line.starts_with("DBUS_SESSION_BUS_ADDRESS=")) line = "DBUS_SESSION_BUS_ADDRESS=" + BusAddress();
    return std::make_unique<Child>((app_ / "tarn-launcher").string(), app_.string(), env);
  }

  bool Logged(const std::string& prefix) {
    for (const std::string& line : LogLines())
      if (line.starts_with(prefix)) return true;
    return false;
  }

  // Keyboard focus to the launcher's window, or away to the root window
  // (no window manager here: X itself says who has the focus).
  void FocusOn(const std::string& window) { X("xdotool windowfocus --sync " + window); }
  void FocusAway() {
    X("xdotool mousemove 0 0 windowfocus " + RootWindow());
    std::this_thread::sleep_for(300ms);
  }
  std::string RootWindow() {
    const std::string info = X("xwininfo -root");
    const size_t at = info.find("Window id: ");
    return at == std::string::npos ? "" : info.substr(at + 11, info.find(' ', at + 11) - at - 11);
  }

  // Declared after the X server of the fixture, so they go before it.
  std::unique_ptr<Child> bus_, daemon_, monitor_;
};

TEST_F(DesktopNotice, AnInstallEndingBehindOtherWindowsIsToldOnceAndInFrontNotAtAll) {
  ASSERT_TRUE(StartBus()) << "dbus-daemon, dunst or dbus-monitor did not come up";
  test::ServiceProcess service;
  auto launcher = StartInstall(service);
  ASSERT_TRUE(launcher) << service.error();
  const std::string window = WaitForWindow();
  ASSERT_FALSE(window.empty());
  FocusAway();
  ASSERT_FALSE(Logged("установка завершена")) << "the install ended before the focus was set";

  ASSERT_TRUE(WaitUntil([&] { return Logged("уведомление: Клиент установлен"); }, 60s))
      << testing::PrintToString(LogLines());
  ASSERT_TRUE(WaitUntil([&] { return Shown() == 1; }, 10s)) << Dunst("history");
  const std::string calls = test::ReadFile(Monitored());
  EXPECT_EQ(Count(calls, "member=Notify"), 1u) << calls;
  EXPECT_NE(calls.find("string \"ТАРН\""), std::string::npos) << calls;
  EXPECT_NE(calls.find("string \"Клиент установлен\""), std::string::npos) << calls;
  EXPECT_FALSE(Logged("уведомление не показано")) << testing::PrintToString(LogLines());

  // The same launcher, the same install, the player looking at the window:
  // the page says it, the desktop does not.
  launcher.reset();
  service.Stop();
  fs::remove_all(root_.path() / "games");
  fs::remove_all(root_.path() / "site");
  fs::remove_all(app_ / "data");
  launcher = StartInstall(service);
  ASSERT_TRUE(launcher) << service.error();
  const std::string second = WaitForWindow();
  ASSERT_FALSE(second.empty());
  FocusOn(second);
  ASSERT_FALSE(Logged("установка завершена")) << "the install ended before the focus was set";
  ASSERT_TRUE(WaitUntil([&] { return Logged("окно впереди, без уведомления: Клиент установлен"); }, 60s))
      << testing::PrintToString(LogLines());
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(Count(test::ReadFile(Monitored()), "member=Notify"), 1u);
  EXPECT_EQ(Shown(), 1);
}

}  // namespace
}  // namespace tarn

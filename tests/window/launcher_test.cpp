// The launcher as a player meets it: the real program on a private X
// server, watched from outside through the X tools, its log and a stand-in
// for the desktop's default browser and mail program.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "bridge/dispatch.h"
#include "support/launcher.h"
#include "support/temp_dir.h"
#include "x_session.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Capture;
using test::WaitUntil;

struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;
  bool viewable = false;
};

int FieldAfter(const std::string& text, const std::string& label) {
  const size_t at = text.find(label);
  return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + label.size());
}

// A copy of the program two folders deep in a temporary tree, so that the
// fallback ../../ui lands inside the tree too, with home and XDG folders of
// its own. The desktop's handler for web and mail addresses is a shell line
// that appends each address it is given to opened.txt.
class Launcher : public ::testing::Test {
 protected:
  void SetUp() override { Prepare("1920x1080x24"); }

  void Prepare(const std::string& screen) {
    xvfb_ = std::make_unique<test::Xvfb>(screen);
    ASSERT_TRUE(xvfb_->running()) << "Xvfb did not start";
    app_ = root_.path() / "a" / "b" / "app";
    fs::create_directories(app_);
    fs::copy_file(TARN_LAUNCHER, app_ / "tarn-launcher");
    for (const char* dir : {"home", "config", "data/applications", "cache", "runtime"})
      fs::create_directories(root_.path() / dir);
    fs::permissions(root_.path() / "runtime", fs::perms::owner_all);
    test::WriteFile(root_.path() / "data/applications/fake-handler.desktop",
                    "[Desktop Entry]\nType=Application\nName=Handler\n"
                    "Exec=sh -c 'printf \"%%s\\\\n\" \"$1\" >> " + Opened().string() + "' sh %u\n"
                    "MimeType=x-scheme-handler/https;x-scheme-handler/http;x-scheme-handler/mailto;"
                    "x-scheme-handler/tarn-test;text/plain;\n");
    test::WriteFile(root_.path() / "config/mimeapps.list",
                    "[Default Applications]\nx-scheme-handler/https=fake-handler.desktop\n"
                    "x-scheme-handler/http=fake-handler.desktop\nx-scheme-handler/mailto=fake-handler.desktop\n"
                    "x-scheme-handler/tarn-test=fake-handler.desktop\ntext/plain=fake-handler.desktop\n");
  }

  fs::path Opened() const { return root_.path() / "opened.txt"; }

  std::vector<std::string> Environment() const {
    const std::string r = root_.str();
    return {
        "DISPLAY=" + xvfb_->display(), "GDK_BACKEND=x11", "PATH=/usr/local/bin:/usr/bin:/bin",
        "HOME=" + r + "/home", "XDG_CONFIG_HOME=" + r + "/config", "XDG_DATA_HOME=" + r + "/data",
        "XDG_DATA_DIRS=/usr/local/share:/usr/share", "XDG_CACHE_HOME=" + r + "/cache",
        "XDG_RUNTIME_DIR=" + r + "/runtime",
        // No session bus, accessibility bus or settings daemon in a test:
        // each would otherwise be looked for (or started) and waited on.
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + r + "/no-bus", "NO_AT_BRIDGE=1", "GSETTINGS_BACKEND=memory",
        // Xvfb has no GPU; WebKit renders in software without compositing.
        "WEBKIT_DISABLE_COMPOSITING_MODE=1", "LIBGL_ALWAYS_SOFTWARE=1",
        // GTK and WebKit keep their caches until exit; those are not ours.
        "ASAN_OPTIONS=detect_leaks=0",
    };
  }

  void WritePage(const std::string& body, const fs::path& folder = {}) {
    const fs::path ui = folder.empty() ? app_ / "ui" : folder;
    fs::create_directories(ui);
    test::WriteFile(ui / "index.html", "<!doctype html><meta charset='utf-8'><title>test</title>" + body);
  }

  std::unique_ptr<test::Child> Start() {
    return std::make_unique<test::Child>((app_ / "tarn-launcher").string(), app_.string(), Environment());
  }

  std::string X(const std::string& tool) { return Capture("DISPLAY=" + xvfb_->display() + " " + tool + " 2>/dev/null"); }

  // The launcher's visible top-level windows, found by window class.
  std::vector<std::string> Windows() {
    std::istringstream ids(X("xdotool search --onlyvisible --class TarnLauncherWindow"));
    std::vector<std::string> out;
    for (std::string id; ids >> id;) out.push_back(id);
    return out;
  }

  std::string WaitForWindow() {
    std::vector<std::string> found;
    WaitUntil([&] { return !(found = Windows()).empty(); }, 20s);
    return found.empty() ? std::string() : found.front();
  }

  Geometry GeometryOf(const std::string& window) {
    const std::string info = X("xwininfo -id " + window);
    return {FieldAfter(info, "Absolute upper-left X:"), FieldAfter(info, "Absolute upper-left Y:"),
            FieldAfter(info, "Width:"), FieldAfter(info, "Height:"), info.find("IsViewable") != std::string::npos};
  }

  std::vector<std::string> OpenedAddresses() {
    std::istringstream in(test::ReadFile(Opened()));
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  bool WasOpened(const std::string& address) {
    const auto all = OpenedAddresses();
    return std::find(all.begin(), all.end(), address) != all.end();
  }

  // The report address the test pages open last, once all else is done.
  bool WaitForOpened(const std::string& address) {
    return WaitUntil([&] { return WasOpened(address); }, 20s);
  }

  std::vector<std::string> LogLines() {
    const std::u16string units = test::LogUnits(test::ReadFile(app_ / "launcher.log"));
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < units.size(); ++i) {
      if (units[i] == u'\r' && i + 1 < units.size() && units[i + 1] == u'\n') {
        lines.push_back(line);
        line.clear();
        ++i;
        continue;
      }
      const char16_t u = units[i];  // the host's lines are all in the BMP
      if (u < 0x80) {
        line += static_cast<char>(u);
      } else if (u < 0x800) {
        line += static_cast<char>(0xC0 | (u >> 6));
        line += static_cast<char>(0x80 | (u & 0x3F));
      } else {
        line += static_cast<char>(0xE0 | (u >> 12));
        line += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        line += static_cast<char>(0x80 | (u & 0x3F));
      }
    }
    return lines;
  }

  // How many pixels of the window have exactly this colour.
  int PixelsOfColour(const std::string& window, const std::string& hex) {
    const std::string histogram =
        X("import -window " + window + " -depth 8 -format %c histogram:info:- | grep -i '#" + hex + "\\b'");
    return std::atoi(histogram.c_str());
  }

  test::TempDir root_;
  std::unique_ptr<test::Xvfb> xvfb_;
  fs::path app_;
};

TEST_F(Launcher, NormalStartShowsACentredBorderlessWindowAndLogsItsStart) {
  // The shipped page, as a player sees it.
  fs::copy(TARN_UI_SOURCE, app_ / "ui", fs::copy_options::recursive);
  test::WriteFile(app_ / "launcher.log", "an earlier run's lines");
  auto launcher = Start();
  const std::string window = WaitForWindow();
  ASSERT_FALSE(window.empty());

  const Geometry g = GeometryOf(window);
  EXPECT_EQ(g.x, 460);
  EXPECT_EQ(g.y, 230);
  EXPECT_EQ(g.width, 1000);
  EXPECT_EQ(g.height, 620);
  EXPECT_TRUE(g.viewable);
  EXPECT_EQ(X("xdotool getwindowname " + window), "ТАРН\n");
  // Motif hints with decorations 0: the window manager draws no frame.
  EXPECT_NE(X("xprop -id " + window + " _MOTIF_WM_HINTS").find("0x2, 0x0, 0x0"), std::string::npos);

  EXPECT_EQ(LogLines(), (std::vector<std::string>{"клиент  1000x620", "bounds  hr=0x00000000 -> 1000x620",
                                                  "видим   1", "видим после показа 1"}));
  EXPECT_TRUE(fs::is_directory(app_ / "data"));

  // The page itself is painted: its background and its title bar colour.
  EXPECT_TRUE(WaitUntil([&] { return PixelsOfColour(window, "101826") > 10000; }, 10s));
  Capture("DISPLAY=" + xvfb_->display() + " import -window root " + TARN_SCREENSHOT_DIR "/launcher.png");
}

class LauncherOnScreen : public Launcher, public ::testing::WithParamInterface<std::tuple<std::string, int, int>> {
 protected:
  void SetUp() override { Prepare(std::get<0>(GetParam())); }
};

TEST_P(LauncherOnScreen, IsCentredOnThePrimaryScreen) {
  WritePage("");
  auto launcher = Start();
  const std::string window = WaitForWindow();
  ASSERT_FALSE(window.empty());
  const Geometry g = GeometryOf(window);
  EXPECT_EQ(g.x, std::get<1>(GetParam()));
  EXPECT_EQ(g.y, std::get<2>(GetParam()));
  EXPECT_EQ(g.width, 1000);
  EXPECT_EQ(g.height, 620);
}

// An odd width rounds toward zero; a screen smaller than the window leaves
// it overhanging both edges equally.
INSTANTIATE_TEST_SUITE_P(Screens, LauncherOnScreen,
                         ::testing::Values(std::make_tuple("1366x768x24", 183, 74),
                                           std::make_tuple("800x600x24", -100, -10)));

TEST_F(Launcher, StringCommandsReachDispatchAndOtherMessagesAreIgnored) {
  // An array whose only element is a Command would become that Command if
  // the host turned messages into text; only real strings may pass.
  WritePage(R"(<script>
    const w = window.chrome.webview;
    w.postMessage(["link.open\n{\"name\":\"forum\"}"]);
    w.postMessage({name: "link.open"});
    w.postMessage(42);
    w.postMessage("link.open\n{\"name\":\"site\"}");
    setTimeout(() => w.postMessage("link.open\n{\"name\":\"tg\"}"), 300);
  </script>)");
  auto launcher = Start();
  ASSERT_TRUE(WaitForOpened(std::string(LinkTarget("tg"))));
  EXPECT_EQ(OpenedAddresses(), (std::vector<std::string>{std::string(LinkTarget("site")),
                                                         std::string(LinkTarget("tg"))}));
}

TEST_F(Launcher, AnEventFromATaskReachesThePageAsAnObject) {
  // "ui.ready" starts the initial push on a task; with no client it posts
  // the news Event (an empty list when no service answers), which must
  // arrive parsed.
  WritePage(R"(<script>
    const w = window.chrome.webview;
    w.addEventListener('message', e => {
      if (e.data && Array.isArray(e.data.news))
        window.open('https://report.example/event?type=' + typeof e.data + '&news=array');
    });
    w.postMessage("ui.ready");
  </script>)");
  auto launcher = Start();
  EXPECT_TRUE(WaitForOpened("https://report.example/event?type=object&news=array"));
}

TEST_F(Launcher, OnlyThePageItselfIsShownAndWebAddressesLeaveForTheBrowser) {
  // Each step waits for the one before, and the last proves the page never
  // left: it reports its own address after every link was tried. An iframe
  // of an outside site and a script's redirect are stopped, not opened.
  WritePage(R"(
    <a id="web" href="https://example.org/news?id=1">web</a>
    <a id="plain" href="http://example.org/plain">plain</a>
    <a id="mail" href="mailto:link@example.org">mail</a>
    <a id="caps" href="tarn://TARN.local/index.html">caps</a>
    <a id="file" href="file:///etc/hostname">file</a>
    <a id="save" href="payload.bin" download="payload.bin">save</a>
    <a id="blank" href="mailto:window@example.org" target="_blank">new window</a>
    <a id="blankfile" href="file:///etc/hostname" target="_blank">file window</a>
    <a id="blankapp" href="tarn-test://run" target="_blank">program window</a>
    <iframe src="https://embedded.example/video"></iframe>
    <script>
    const steps = ['web', 'plain', 'mail', 'caps', 'file', 'save', 'blank', 'blankfile', 'blankapp'];
    let i = 0;
    (function next() {
      if (i < steps.length) { document.getElementById(steps[i++]).click(); setTimeout(next, 250); return; }
      window.open('tarn-test://script');
      // Content that navigates on its own opens nothing.
      location.href = 'https://redirect.example/';
      setTimeout(() => window.open('https://report.example/?at=' + encodeURIComponent(location.href)), 500);
    })();
    </script>)");
  test::WriteFile(app_ / "ui" / "payload.bin", std::string(4096, 'x'));
  auto launcher = Start();

  ASSERT_TRUE(WaitForOpened("https://report.example/?at=tarn%3A%2F%2Ftarn.local%2Findex.html"));
  EXPECT_TRUE(WasOpened("https://example.org/news?id=1"));
  EXPECT_TRUE(WasOpened("http://example.org/plain"));
  // A new window may ask the mail program, but no file and no program of
  // its own scheme reaches the desktop, whoever would handle it.
  EXPECT_TRUE(WasOpened("mailto:window@example.org"));
  EXPECT_FALSE(WasOpened("mailto:link@example.org"));
  EXPECT_EQ(OpenedAddresses().size(), 4u) << ::testing::PrintToString(OpenedAddresses());

  size_t saved = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root_.path()))
    if (entry.path().filename() == "payload.bin" && entry.path().parent_path() != app_ / "ui") ++saved;
  EXPECT_EQ(saved, 0u) << "a download was written";
}

TEST_F(Launcher, PageComesFromBesideTheProgramThenTwoLevelsUpElseTheErrorPageShows) {
  WritePage("<script>window.open('https://report.example/up')</script>", root_.path() / "a" / "ui");
  {
    auto launcher = Start();
    EXPECT_TRUE(WaitForOpened("https://report.example/up"));
  }
  WritePage("<script>window.open('https://report.example/beside')</script>");
  {
    auto launcher = Start();
    EXPECT_TRUE(WaitForOpened("https://report.example/beside"));
  }
  fs::remove_all(app_ / "ui");
  fs::remove_all(root_.path() / "a" / "ui");
  auto launcher = Start();
  const std::string window = WaitForWindow();
  ASSERT_FALSE(window.empty());
  // The error page's heading colour appears only on that page.
  EXPECT_TRUE(WaitUntil([&] { return PixelsOfColour(window, "6FD3E0") > 20; }, 10s));
  EXPECT_EQ(LogLines().size(), 4u);
  Capture("DISPLAY=" + xvfb_->display() + " import -window root " + TARN_SCREENSHOT_DIR "/error-page.png");
}

TEST_F(Launcher, SecondStartPresentsTheFirstWindowAndEndsWithZero) {
  WritePage("");
  auto first = Start();
  const std::string window = WaitForWindow();
  ASSERT_FALSE(window.empty());

  // Hidden from outside, as a window manager hides a minimized window.
  X("xdotool windowunmap --sync " + window);
  ASSERT_FALSE(GeometryOf(window).viewable);
  auto second = Start();
  EXPECT_EQ(second->Wait(10s), 0);
  EXPECT_TRUE(WaitUntil([&] { return GeometryOf(window).viewable; }, 10s));
  EXPECT_EQ(Windows().size(), 1u);
  EXPECT_FALSE(first->Wait(0ms).has_value()) << "the first copy must keep running";
}

TEST_F(Launcher, SecondStartDuringStartUpShowsTheFirstWindow) {
  WritePage("");
  auto first = Start();
  // Start the second copy as soon as the first holds the name, which is
  // before it has made its web view.
  ASSERT_TRUE(WaitUntil([] { return test::ReadFile("/proc/net/unix").find("@Global\\TarnLauncherSingleInstance") !=
                                    std::string::npos; },
                        20s));
  auto second = Start();
  EXPECT_EQ(second->Wait(10s), 0);
  const std::string window = WaitForWindow();
  ASSERT_FALSE(window.empty());
  EXPECT_EQ(Windows().size(), 1u);
}

TEST_F(Launcher, PageDragsMinimizesAndClosesTheWindow) {
  // The first press drags; the next one minimizes and closes.
  WritePage(R"(<style>html,body{height:100%;margin:0}</style><script>
    const w = window.chrome.webview;
    let presses = 0;
    document.addEventListener('mousedown', () => {
      if (presses++ === 0) { w.postMessage('window.drag'); return; }
      w.postMessage('window.minimize');
      w.postMessage('window.close');
    });
    window.open('https://report.example/listening');
  </script>)");
  auto launcher = Start();
  const std::string window = WaitForWindow();
  ASSERT_FALSE(window.empty());
  ASSERT_TRUE(WaitForOpened("https://report.example/listening"));

  X("xdotool mousemove --sync 700 400 mousedown 1");
  WaitUntil([] { return false; }, 300ms);
  for (const char* step : {"750 425", "800 450", "850 475", "900 500"}) {
    X(std::string("xdotool mousemove --sync ") + step);
    WaitUntil([] { return false; }, 100ms);
  }
  X("xdotool mouseup 1");
  // Without a window manager GDK moves the window itself and may join the
  // drag a step late, so the exact distance is not fixed, only its course.
  Geometry moved;
  EXPECT_TRUE(WaitUntil([&] {
    moved = GeometryOf(window);
    return moved.x > 460 && moved.y > 230;
  }, 5s)) << moved.x << "," << moved.y;
  EXPECT_LE(moved.x, 660);
  EXPECT_LE(moved.y, 330);

  X("xdotool mousemove --sync " + std::to_string(moved.x + 500) + " " + std::to_string(moved.y + 300) + " click 1");
  EXPECT_EQ(launcher->Wait(10s), 0);
}

}  // namespace
}  // namespace tarn

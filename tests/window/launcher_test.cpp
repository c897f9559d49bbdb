// The window host's own behaviour: placement, the page's road to the
// native side and back, navigation, single instance, window commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "launcher_fixture.h"
#include "service/news.h"
#include "support/launcher.h"
#include "support/temp_dir.h"
#include "x_session.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Capture;
using test::Geometry;
using test::Launcher;
using test::WaitUntil;

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

  // The page itself is painted: its panels have a colour of their own.
  EXPECT_TRUE(WaitUntil([&] { return PixelsOfColour(window, "111a27") > 10000; }, 10s));
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

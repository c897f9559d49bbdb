// The Windows launcher under Wine on a private X server, watched from
// outside with the X tools. No web view runtime exists under Wine, so the
// program stops at its first message box; its single-instance guard, its
// window and that box are what can be seen here.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "x_session.h"

namespace tarn {
namespace {

using namespace std::chrono_literals;
using test::Capture;
using test::WaitUntil;

struct XWindow {
  std::string id;
  int width = 0, height = 0, x = 0, y = 0;
};

// The program's top-level X windows titled as the launcher.
std::vector<XWindow> LauncherWindows(const std::string& display) {
  static const std::regex line(
      R"re((0x[0-9a-f]+) "ТАРН": \("tarn-launcher\.exe" "tarn-launcher\.exe"\)\s+(\d+)x(\d+)\+(-?\d+)\+(-?\d+))re");
  std::vector<XWindow> found;
  std::istringstream tree(Capture("DISPLAY=" + display + " xwininfo -root -tree 2>/dev/null"));
  for (std::string text; std::getline(tree, text);) {
    std::smatch m;
    if (std::regex_search(text, m, line))
      found.push_back({m[1], std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4]), std::stoi(m[5])});
  }
  return found;
}

bool Viewable(const std::string& display, const std::string& id) {
  return Capture("DISPLAY=" + display + " xwininfo -id " + id + " 2>/dev/null").find("IsViewable") != std::string::npos;
}

class WindowsLauncher : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(x_.running());
    env_ = {"PATH=/usr/bin:/bin", "HOME=" + std::string(getenv("HOME") ? getenv("HOME") : "/tmp"),
            "TARN_WINEPREFIX=" TARN_WINE_PREFIX, "TARN_WINE_DISPLAY=" + x_.display()};
    // Without a window manager Wine would leave room for one's frame; the
    // real system draws none for this window either.
    // The prefix is this test's own: Wine's desktop process keeps the
    // display of the program that started it, so it must not be shared
    // with the display-less tests, nor outlive an earlier run's X server.
    Capture("TARN_WINEPREFIX=" TARN_WINE_PREFIX " " TARN_WINE_RUN " --end-server");
    Capture("TARN_WINEPREFIX=" TARN_WINE_PREFIX " TARN_WINE_DISPLAY=" + x_.display() + " " TARN_WINE_RUN +
            " reg add 'HKCU\\Software\\Wine\\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1");
  }
  std::unique_ptr<test::Child> Start() {
    return std::make_unique<test::Child>(TARN_WINE_RUN, TARN_LAUNCHER_DIR, env_,
                                         std::vector<std::string>{TARN_LAUNCHER_EXE});
  }

  test::Xvfb x_{"1920x1080x24"};
  std::vector<std::string> env_;
};

TEST_F(WindowsLauncher, SecondCopyShowsTheFirstWhichEndsAfterItsMessageBox) {
  auto first = Start();
  ASSERT_TRUE(first->started());
  // The message box about the missing runtime, and the hidden main window.
  XWindow box, main;
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (const XWindow& w : LauncherWindows(x_.display())) {
          if (w.width == 1000 && w.height == 620) main = w;
          else if (w.width > 100 && Viewable(x_.display(), w.id)) box = w;
        }
        return !box.id.empty() && !main.id.empty();
      },
      90s))
      << Capture("DISPLAY=" + x_.display() + " xwininfo -root -tree");
  EXPECT_FALSE(Viewable(x_.display(), main.id)) << "the window waits hidden for its web view";

  // A second copy finds the first through the machine-wide name, shows its
  // window and leaves at once.
  auto second = Start();
  EXPECT_EQ(second->Wait(60s), 0);
  EXPECT_TRUE(WaitUntil([&] { return Viewable(x_.display(), main.id); }, 10s));
  EXPECT_EQ(LauncherWindows(x_.display()).size(), 2u) << "the second copy made no window of its own";
  // 1000 x 620, centred on the 1920 x 1080 screen.
  EXPECT_EQ(main.x, 460);
  EXPECT_EQ(main.y, 230);

  // Closing the box ends the first copy with the start-up failure code.
  // The window just brought forward covers it, so it is raised first.
  const std::string click = "DISPLAY=" + x_.display() + " xdotool windowraise " + box.id + " mousemove " +
                            std::to_string(box.x + box.width / 2) + " " + std::to_string(box.y + box.height - 25) +
                            " click 1";
  std::optional<int> code;
  for (int attempt = 0; attempt < 10 && !code; ++attempt) {
    Capture(click);
    code = first->Wait(3s);
  }
  EXPECT_EQ(code, 1);
}

}  // namespace
}  // namespace tarn

// The player's whole path through the real window: the shipped page, the
// reference service with its demo site, a click on "Изменить папку", a
// folder chosen in the real GTK dialog, the install to the end, then "Играть"
// starting the demo's stand-in game through wine. The test sees the page
// only as a player does (pixels, clicks, keys) plus the launcher's log,
// whose stage lines say when each screen is up.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "launcher_fixture.h"
#include "support/service_fixture.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Capture;
using test::WaitUntil;

// Where the page puts its buttons: at the foot of the right-hand panel, so
// they stay put while the figures above them change.
constexpr int kChangeFolderX = 849, kChangeFolderY = 531;  // "Изменить папку"
constexpr int kPlayX = 802, kPlayY = 486;         // "Играть"
constexpr int kHomeTabX = 162, kAccountsTabX = 259, kTabY = 20;
constexpr int kLoginX = 820, kLoginY = 150, kPasswordY = 219;  // the add form
constexpr int kAddX = 736, kAddY = 266;                         // "Добавить"

class PlayerPath : public test::Launcher {
 protected:
  void SetUp() override {
    Launcher::SetUp();
    fs::copy(TARN_UI_SOURCE, app_ / "ui", fs::copy_options::recursive);
    // The game runs in the launcher's own Wine prefix beside its state,
    // made on the first "Играть" as on a player's machine.
    prefix_ = app_ / "wine";
  }

  void TearDown() override {
    // The stand-in game runs under a wine server of the test's own prefix.
    Capture("WINEPREFIX='" + prefix_.string() + "' wineserver -k >/dev/null 2>&1; WINEPREFIX='" +
            prefix_.string() + "' wineserver -w >/dev/null 2>&1");
  }

  std::vector<std::string> PlayerEnvironment() const {
    std::vector<std::string> env = Environment();
    env.push_back("WINEDEBUG=-all");
    // Wine maps the client folder's Cyrillic name through the locale.
    env.push_back("LANG=C.UTF-8");
    return env;
  }

  bool LogHas(const std::string& text) {
    for (const std::string& line : LogLines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

  bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout = 30s) {
    return WaitUntil([&] { return LogHas(text); }, timeout);
  }

  void Click(const std::string& window, int x, int y) {
    X("xdotool mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y) + " click 1");
  }

  // The window titled as the launcher's folder dialog, as the X server
  // lists it; empty when there is none.
  std::string FolderDialog() {
    std::istringstream tree(X("xwininfo -root -tree"));
    for (std::string line; std::getline(tree, line);) {
      if (line.find("\"Куда установить игру\"") == std::string::npos) continue;
      std::istringstream fields(line);
      std::string id;
      fields >> id;
      return id;
    }
    return {};
  }

  void Shot(const std::string& name) {
    Capture("DISPLAY=" + xvfb_->display() + " import -window root " + TARN_SCREENSHOT_DIR "/player-" + name +
            ".png");
  }

  fs::path prefix_;
};

TEST_F(PlayerPath, InstallsTheDemoClientFromThePageAndStartsTheGame) {
  const fs::path site = root_.path() / "site";
  ASSERT_TRUE(test::MakeDemoSite(site, {"--size-mib", "2"}));
  test::ServiceProcess service;
  ASSERT_TRUE(service.Start(site)) << service.error();
  test::PointAtService(app_, service);

  auto launcher = std::make_unique<test::Child>((app_ / "tarn-launcher").string(), app_.string(),
                                                PlayerEnvironment());
  const std::string window = WaitForWindow();
  ASSERT_FALSE(window.empty());
  ASSERT_TRUE(WaitForLog("установка: нет")) << "the install offer never came";
  std::this_thread::sleep_for(500ms);  // the page paints the offer
  Shot("1-offer");

  // "Установить" would take the folder shown without asking; the player
  // who wants another place asks for the dialog.
  Click(window, kChangeFolderX, kChangeFolderY);
  std::string dialog;
  const bool dialogShown = WaitUntil([&] { return !(dialog = FolderDialog()).empty(); }, 20s);
  if (!dialogShown) Shot("2-no-dialog");
  ASSERT_TRUE(dialogShown) << "no folder dialog; log:\n" << testing::PrintToString(LogLines());
  // The dialog opens at the roomiest place, the player's home here; the
  // player takes it as it is with "Выбрать", the bottom-right button.
  std::this_thread::sleep_for(500ms);
  Shot("2-dialog");
  const test::Geometry box = GeometryOf(dialog);
  Click(dialog, box.width - 60, box.height - 24);
  EXPECT_TRUE(WaitUntil([&] { return FolderDialog().empty(); }, 5s)) << "the dialog stayed open";

  const bool finished = WaitForLog("установка: готово", 60s);
  if (!finished) Shot("3-not-ready");
  ASSERT_TRUE(finished) << "the install did not finish; log:\n" << testing::PrintToString(LogLines());
  std::this_thread::sleep_for(500ms);
  Shot("3-ready");
  const fs::path client = root_.path() / "home" / "ТАРН";
  for (const auto& item : fs::recursive_directory_iterator(site / "client")) {
    if (!item.is_regular_file()) continue;
    const fs::path installed = client / fs::relative(item.path(), site / "client");
    EXPECT_EQ(test::ReadFile(installed), test::ReadFile(item.path())) << installed;
  }
  EXPECT_FALSE(fs::exists(app_ / "data" / "install.done"));

  // The demo service knows demo/demo: the player adds the account, comes
  // back to the play screen, where it is chosen with its first character.
  Click(window, kAccountsTabX, kTabY);
  Click(window, kLoginX, kLoginY);
  X("xdotool type --delay 20 demo");
  Click(window, kLoginX, kPasswordY);
  X("xdotool type --delay 20 demo");
  Click(window, kAddX, kAddY);
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(app_ / "data" / "accounts.dat"); }, 20s)) << "no account stored";
  std::this_thread::sleep_for(500ms);
  Shot("4-account");
  Click(window, kHomeTabX, kTabY);
  std::this_thread::sleep_for(300ms);
  Click(window, kPlayX, kPlayY);
  const fs::path record = client / "launch-record.txt";
  // The first start makes the prefix (a minute or so on a busy machine).
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(record) && test::ReadFile(record).find("command line:") != std::string::npos; },
                        240s))
      << "the stand-in game never started; log:\n" << testing::PrintToString(LogLines());
  const std::string recorded = test::ReadFile(record);
  // Wine hands the game the arguments it was given, quoted only where they
  // need it, so the pieces arrive without the line's own quotes.
  EXPECT_NE(recorded.find("ElementClient.exe\" startbypatcher user:demo pwd:demo role:"), std::string::npos)
      << recorded;
  EXPECT_TRUE(WaitForLog("клиент запущен"));
  Shot("5-played");
}

}  // namespace
}  // namespace tarn

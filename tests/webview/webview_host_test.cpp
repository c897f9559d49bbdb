// The Windows window host under Wine, through a stand-in for the web view
// runtime that records every call the host makes and plays what a page and
// the player would do (standin_fixture.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "standin_fixture.h"

namespace tarn::test {
namespace {

using ::testing::Test;

class WebViewHost : public Test {
 protected:
  StandInLauncher launcher_{TARN_STANDIN_PREFIX};
  std::string ExeDir() const { return StandInLauncher::WinePath(launcher_.exe().parent_path()); }
};

// The host's calls up to the shown window, in order, as the record writes them.
std::vector<std::string> StartUpCalls(const std::string& exeDir) {
  std::vector<std::string> calls = {"controller-requested TarnLauncherWindow", "background ff0b111a"};
  for (const char* setting : {"AreDefaultContextMenusEnabled", "IsZoomControlEnabled", "IsStatusBarEnabled",
                              "IsBuiltInErrorPageEnabled", "AreDevToolsEnabled", "AreBrowserAcceleratorKeysEnabled",
                              "IsGeneralAutofillEnabled", "IsPasswordAutosaveEnabled", "IsPinchZoomEnabled",
                              "IsSwipeNavigationEnabled"})
    calls.push_back(std::string("setting ") + setting + " 0");
  const std::vector<std::string> rest = {
      "mapping tarn.local " + exeDir + "\\ui 2",  // deny-CORS
      "handler WebMessageReceived",
      "external-drop 0",
      "handler NavigationStarting",
      "handler NewWindowRequested",
      "handler DownloadStarting",
      "bounds 0 0 1000 620",
      "handler NavigationCompleted",
      "navigate https://tarn.local/index.html",
      "visible 1 window=1",
  };
  calls.insert(calls.end(), rest.begin(), rest.end());
  return calls;
}

// Each layout the runtime's installer (or a browser channel's) leaves
// behind is found; the most stable channel wins, whatever its hive; and
// every run ends by closing the controller with code 0, so the next start
// finds the single-instance name free.
TEST_F(WebViewHost, FindsTheRuntimeInEveryInstallLayoutAndClosesCleanly) {
  ASSERT_TRUE(launcher_.ready());
  const std::string userFolder = "%USERPROFILE%\\AppData\\Local\\Microsoft\\EdgeWebView\\Application";
  const std::string betaFolder = "C:\\Program Files (x86)\\Microsoft\\Edge Beta\\Application";
  const std::string devFolder = "%USERPROFILE%\\AppData\\Local\\Microsoft\\Edge Dev\\Application";
  struct Layout {
    const char* what;
    std::vector<RuntimeInstall> installs;
    size_t chosen;
  };
  const std::vector<Layout> layouts = {
      {"per machine, as the installer writes it", {{}}, 0},
      {"per machine, 64-bit view, version record only", {{.hive = kMachine64, .clientState = false}}, 0},
      {"per user, folder record only; a dev channel per machine too",
       {{.hive = kMachine32, .channel = kDevChannel, .location = betaFolder},
        {.hive = kUser, .location = userFolder, .clients = false}},
       1},
      {"stable recorded but gone; beta per machine and dev per user",
       {{.hive = kUser, .channel = kDevChannel, .location = devFolder},
        {.files = false},
        {.channel = kBetaChannel, .location = betaFolder, .version = "121.0.2277.4"}},
       2},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.what);
    ASSERT_TRUE(launcher_.Install(layout.installs));
    const LauncherRun run = launcher_.Run(layout.chosen == 0 ? "close\n" : "fail-start-page 9\nclose\n");
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_FALSE(run.records.empty());
    EXPECT_EQ(run.records.front(), "environment " + launcher_.LibraryOf(layout.installs[layout.chosen]) +
                                       " reuse=1 kind=0 folder=" + ExeDir() + "\\data\\webview options=0");
    EXPECT_EQ(run.records.back(), "close");
    EXPECT_TRUE(Lines(run.records, "unexpected").empty());
    const std::vector<std::string> expected = StartUpCalls(ExeDir());
    ASSERT_GE(run.records.size(), expected.size() + 1);
    EXPECT_EQ(std::vector<std::string>(run.records.begin() + 1, run.records.begin() + 1 + expected.size()), expected);
    if (layout.chosen == 0) {
      EXPECT_EQ(Lines(run.records, "page ").back(), "page https://tarn.local/index.html");
    } else {
      // A start page that cannot load gives way to the error page, with the
      // runtime's number for the failure.
      const auto shown = Lines(run.records, "page ");
      ASSERT_FALSE(shown.empty());
      EXPECT_NE(shown.back().find("Интерфейс не загрузился"), std::string::npos) << shown.back();
      EXPECT_NE(shown.back().find("код 9</code>"), std::string::npos) << shown.back();
    }
  }
}

// What the page and the player can make the web view do: navigations of
// either origin through the policy, new windows, a download, a move and a
// drag of the window; and the page stays put whenever a navigation was
// cancelled.
TEST_F(WebViewHost, KeepsThePageToItselfAndTellsTheWebViewOfMoves) {
  ASSERT_TRUE(launcher_.ready());
  ASSERT_TRUE(launcher_.Install({{}}));
  struct Navigation {
    const char* uri;
    bool allowed;
    bool opened;
  };
  const std::vector<Navigation> navigations = {
      {"https://tarn.local/index.html#news", true, false},
      {"https://tarn.local", false, true},
      {"https://TARN.LOCAL/index.html", false, true},
      {"https://example.com/news?a=1&b=2", false, true},
      {"http://example.com/", false, true},
      {"mailto:support@example.com", false, false},
      {"file:///C:/windows/win.ini", false, false},
      {"about:blank", false, false},
      {"data:text/html,<b>x</b>", false, false},
  };
  // A file of a type the desktop would open, as a planted download might be.
  WriteFile(launcher_.exe().parent_path() / "note.tarnpage", "x");
  const std::string page = StandInLauncher::WinePath(launcher_.exe().parent_path() / "note.tarnpage");
  const std::vector<std::pair<std::string, bool>> newWindows = {
      {"https://example.com/forum", true}, {"http://example.com/", true},  {"mailto:support@example.com", true},
      {"file:///" + page, false},          {"\\\\server\\share\\run.exe", false},
      {"javascript:alert(1)", false},      {"data:text/html,<script>1</script>", false},
  };
  std::string script;
  size_t opens = 0;
  for (const char* who : {"user", "script"})
    for (const Navigation& n : navigations) {
      script += std::string("navigate ") + who + " " + n.uri + "\n";
      opens += n.opened;
    }
  for (const auto& [uri, opened] : newWindows) {
    script += "new-window " + uri + "\n";
    opens += opened;
  }
  script += "download https://tarn.local/setup.exe\nmove 100 150\nmessage window.drag\nsleep 200\nclose\n";
  const LauncherRun run = launcher_.Run(script, opens);
  EXPECT_EQ(run.exitCode, 0);

  std::vector<std::string> wantStarting, wantOpened;
  for (const char* who : {"user", "script"})
    for (const Navigation& n : navigations) {
      wantStarting.push_back(std::string("starting ") + who + " " + n.uri + " cancel=" + (n.allowed ? "0" : "1"));
      if (n.opened) wantOpened.push_back(std::string("opened ") + n.uri);
    }
  wantStarting.insert(wantStarting.begin(), "starting script https://tarn.local/index.html cancel=0");
  EXPECT_EQ(Lines(run.records, "starting "), wantStarting);
  // Cancelled navigations end with the runtime's "cancelled" status, and
  // the page stays the one the last allowed navigation showed.
  for (const std::string& shown : Lines(run.records, "page "))
    EXPECT_EQ(shown.rfind("page https://tarn.local/index.html", 0), 0u) << shown;
  EXPECT_TRUE(Lines(run.records, "navigate-to-string").empty());

  for (const auto& [uri, opened] : newWindows) {
    EXPECT_EQ(Lines(run.records, "new-window " + uri + " ").size(), 1u) << uri;
    EXPECT_EQ(Lines(run.records, "new-window " + uri + " handled=1").size(), 1u) << uri;
    if (opened) wantOpened.push_back("opened " + uri);
  }
  std::sort(wantOpened.begin(), wantOpened.end());
  EXPECT_EQ(run.opened, wantOpened);
  EXPECT_EQ(Lines(run.records, "download "), std::vector<std::string>{"download https://tarn.local/setup.exe cancel=1"});

  // The move reaches the web view; the drag's move loop starts only after
  // the page's message has been handled.
  const auto move = std::find(run.records.begin(), run.records.end(), "move 100 150");
  ASSERT_NE(move, run.records.end());
  EXPECT_NE(std::find(move, run.records.end(), "parent-moved 100 150"), run.records.end());
  EXPECT_EQ(Lines(run.records, "drag-start"), std::vector<std::string>{"drag-start in-handler=0"});
  EXPECT_EQ(run.records.back(), "close");
  EXPECT_TRUE(Lines(run.records, "unexpected").empty());
}

// A runtime that makes no controller: the player is told, the program ends
// with the start-up failure code and leaves the single-instance name free,
// so the next start opens its window.
TEST_F(WebViewHost, FailedControllerEndsWithCodeOneAndTheNextStartOpens) {
  ASSERT_TRUE(launcher_.ready());
  ASSERT_TRUE(launcher_.Install({{}}));
  const LauncherRun failed = launcher_.Run("fail-controller\n", 0, std::chrono::seconds(60), true);
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(Lines(failed.records, "controller-failed").size(), 1u);
  EXPECT_TRUE(Lines(failed.records, "visible").empty());

  const LauncherRun next = launcher_.Run("close\n");
  EXPECT_EQ(next.exitCode, 0);
  EXPECT_EQ(Lines(next.records, "visible"), std::vector<std::string>{"visible 1 window=1"});
}

}  // namespace
}  // namespace tarn::test

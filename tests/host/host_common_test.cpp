// The window hosts' shared rules: where the window goes, which Commands the
// window serves itself, what the view may show, and the error page.
#include <gtest/gtest.h>

#include "host/common/web_page.h"
#include "host/common/window_layout.h"

namespace tarn {
namespace {

TEST(WindowLayout, CentresWithDivisionTowardZero) {
  EXPECT_EQ(CenteredOrigin(1920, kWindowWidth), 460);
  EXPECT_EQ(CenteredOrigin(1080, kWindowHeight), 230);
  EXPECT_EQ(CenteredOrigin(1366, kWindowWidth), 183);
  // Smaller than the window: negative, overhanging equally, and rounded
  // toward zero rather than down.
  EXPECT_EQ(CenteredOrigin(800, kWindowWidth), -100);
  EXPECT_EQ(CenteredOrigin(999, kWindowWidth), 0);
  EXPECT_EQ(CenteredOrigin(997, kWindowWidth), -1);
}

TEST(WindowLayout, WindowCommandsMatchTheWholeTextExactly) {
  EXPECT_EQ(ParseWindowCommand("window.drag"), WindowCommand::Drag);
  EXPECT_EQ(ParseWindowCommand("window.minimize"), WindowCommand::Minimize);
  EXPECT_EQ(ParseWindowCommand("window.close"), WindowCommand::Close);
  for (const char* other : {"window.close\r", "window.close\n", "Window.close", " window.drag", "window.", ""})
    EXPECT_EQ(ParseWindowCommand(other), WindowCommand::Other) << other;
}

TEST(NavigationPolicy, OnlyTheUiPrefixStaysInTheView) {
  const std::string prefix = "tarn://tarn.local/";
  EXPECT_EQ(DecideNavigation("tarn://tarn.local/index.html", prefix), NavigationVerdict::Allow);
  EXPECT_EQ(DecideNavigation("tarn://tarn.local/sub/page.html?x=1#top", prefix), NavigationVerdict::Allow);
  // The host without its slash, or in capitals, is somebody else's.
  EXPECT_EQ(DecideNavigation("tarn://tarn.local", prefix), NavigationVerdict::Cancel);
  EXPECT_EQ(DecideNavigation("tarn://TARN.local/index.html", prefix), NavigationVerdict::Cancel);
  EXPECT_EQ(DecideNavigation("tarn://tarn.local.evil/", prefix), NavigationVerdict::Cancel);

  const std::string https = "https://tarn.local/";
  EXPECT_EQ(DecideNavigation("https://tarn.local/index.html", https), NavigationVerdict::Allow);
  EXPECT_EQ(DecideNavigation("https://tarn.local", https), NavigationVerdict::CancelAndOpen);
  EXPECT_EQ(DecideNavigation("https://TARN.local/", https), NavigationVerdict::CancelAndOpen);
}

TEST(NavigationPolicy, WebAddressesOpenAndOtherSchemesGoNowhere) {
  const std::string prefix = "tarn://tarn.local/";
  EXPECT_EQ(DecideNavigation("https://example.org/", prefix), NavigationVerdict::CancelAndOpen);
  EXPECT_EQ(DecideNavigation("http://example.org/", prefix), NavigationVerdict::CancelAndOpen);
  for (const char* other : {"mailto:a@b.c", "file:///etc/passwd", "data:text/html,x", "about:blank",
                            "javascript:alert(1)", "HTTPS://example.org/", "ftp://example.org/", ""})
    EXPECT_EQ(DecideNavigation(other, prefix), NavigationVerdict::Cancel) << other;
  // Without a prefix nothing is ours.
  EXPECT_EQ(DecideNavigation("tarn://tarn.local/index.html", ""), NavigationVerdict::Cancel);
}

TEST(NavigationPolicy, NewWindowsReachTheDesktopOnlyForWebAndMailAddresses) {
  for (const char* open : {"https://example.org/", "http://example.org/a?b#c", "mailto:a@b.c", "HTTPS://example.org/",
                           "Mailto:a@b.c", "hTtP://x"})
    EXPECT_TRUE(MayOpenNewWindowAddress(open)) << open;
  for (const char* nowhere :
       {"file:///C:/Windows/System32/calc.exe", "file://server/share/x.exe", "smb://server/share", "\\\\server\\share",
        "javascript:alert(1)", "data:text/html,<script>1</script>", "ms-settings:", "steam://run/1", "tarn://tarn.local/",
        "ftp://example.org/", "about:blank", "C:\\Windows\\notepad.exe", "https:example.org", "https://", "mailto:",
        " https://example.org/", "https://example.org/\nfile:///x", "", "http:/", "httpsx://a"})
    EXPECT_FALSE(MayOpenNewWindowAddress(nowhere)) << nowhere;
  EXPECT_FALSE(MayOpenNewWindowAddress(std::string_view("https://a\0b", 11)));
}

TEST(ErrorPage, CarriesTheStatusNumberAtTheEnd) {
  const std::string page = ErrorPageHtml(303);
  EXPECT_TRUE(page.starts_with("<!doctype html><meta charset='utf-8'><style>"));
  EXPECT_TRUE(page.ends_with("<p><code>код 303</code></p></div>"));
  EXPECT_NE(page.find("<h1>Интерфейс не загрузился</h1>"), std::string::npos);
  EXPECT_NE(page.find("background:#0b111a"), std::string::npos);
  EXPECT_TRUE(ErrorPageHtml(-2147023570).ends_with("<code>код -2147023570</code></p></div>"));
}

}  // namespace
}  // namespace tarn

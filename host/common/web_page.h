#pragma once
// What every window host agrees on about the page: the private host name it
// is served under, the page shown when it cannot be loaded, and which
// addresses the web view may show at all.
#include <string>
#include <string_view>

namespace tarn {

// The private host name of the UI origin. Each web view serves the UI
// folder under its own scheme (https on Windows, a private secure scheme on
// Linux), but always under this host.
inline constexpr std::string_view kUiHost = "tarn.local";

// The start page, relative to the UI prefix.
inline constexpr std::string_view kStartPage = "index.html";

// The dark page shown in place of the UI when it cannot be loaded, with the
// web view's own error number so support can tell the causes apart.
std::string ErrorPageHtml(long errorStatus);

enum class NavigationVerdict {
  Allow,           // an address of the page itself
  CancelAndOpen,   // a web address: it belongs in the player's browser
  Cancel,          // anything else (mailto:, file:, data:, about:) goes nowhere
};

// The web view may only ever show the program's own page: an address is
// allowed only when it begins with the UI prefix, compared byte for byte
// (so another case of the host, or the host without its slash, is not ours).
NavigationVerdict DecideNavigation(std::string_view address, std::string_view uiPrefix);

// Whether an address the page asks to open in a new window may be handed
// to the desktop (ShellOpen): only web pages (http:, https:) and mail
// (mailto:), the scheme in any case. Anything else goes nowhere: file: and
// smb: would open, or on Windows run, what they name; javascript: and
// data: carry code; a program's own scheme starts that program. An address
// with a control character in it is refused too.
bool MayOpenNewWindowAddress(std::string_view address);

}  // namespace tarn

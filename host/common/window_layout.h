#pragma once
// The main window's fixed shape, shared by every window host: the page draws
// its own title bar, so the window itself is a plain borderless rectangle of
// a fixed size in the middle of the primary screen.
#include <array>
#include <string_view>

namespace tarn {

inline constexpr int kWindowWidth = 1000;  // device pixels, not scaled by DPI
inline constexpr int kWindowHeight = 620;
inline constexpr std::string_view kWindowTitle = "ТАРН";
inline constexpr std::string_view kWindowClass = "TarnLauncherWindow";
inline constexpr std::string_view kSingleInstanceName = "Global\\TarnLauncherSingleInstance";

// Where a window of the given extent starts so that it sits in the middle of
// a screen of the given extent. Rounds toward zero, so on a screen smaller
// than the window the result is negative and the window overhangs both
// edges equally.
constexpr int CenteredOrigin(int screenExtent, int windowExtent) { return (screenExtent - windowExtent) / 2; }

// The three Commands every host serves itself before Dispatch (the headless
// one tells what a window would do); the command table never sees them.
enum class WindowCommand { Other, Drag, Minimize, Close };
inline constexpr std::array<std::string_view, 3> kWindowCommandNames{"window.drag", "window.minimize", "window.close"};

// Matches the whole text exactly; anything else is Other.
WindowCommand ParseWindowCommand(std::string_view command);

}  // namespace tarn

#pragma once
// The Windows launcher: one window whose whole surface is a WebView2 web
// view showing the page in ui/.
#include <windows.h>

namespace tarn {

// The whole program after wWinMain: single-instance check, the hidden
// window, the web view's creation and the message loop. Returns the exit
// code: 0 after a normal end or when another copy runs, 1 when start-up
// fails (no web view runtime among other causes).
int RunLauncher(HINSTANCE instance);

}  // namespace tarn

// tarn-launcher.exe: the launcher a player starts on Windows. One copy per
// machine; its window is a web view showing the page in ui\.
#include <windows.h>

#include "host/win/window_host.h"

// The command line and the show state are not the program's to read: the
// window shows itself once the page is in place.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) { return tarn::RunLauncher(instance); }

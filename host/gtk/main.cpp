// tarn-launcher: the launcher a player starts on a Linux desktop. One copy
// per machine; its window is a web view showing the page in ui/.
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/common/window_layout.h"
#include "host/gtk/single_instance.h"
#include "host/gtk/ui_folder.h"
#include "host/gtk/window_host.h"
#include "platform/paths.h"
#include "wiring/launcher.h"

int main() {
  using namespace tarn;
  // The guard comes first: a second copy must not touch the display at all,
  // only ask the first one to show itself. Abstract socket names are shared
  // by every user of the machine, so the name carries the user's id: another
  // player logged in at the same time gets a launcher of their own instead
  // of raising a window on someone else's screen.
  InstanceClaim claim =
      ClaimSingleInstance(std::string(kSingleInstanceName) + "." + std::to_string(static_cast<unsigned long>(getuid())));
  if (claim.role == InstanceRole::Other) return 0;

  g_set_prgname("tarn-launcher");
  // The command line is not the program's to read; GTK gets none either.
  if (!gtk_init_check(nullptr, nullptr)) {
    std::fputs("tarn-launcher: не удалось подключиться к графическому дисплею\n", stderr);
    return 1;
  }
  // Window managers and the tests find the window by this class, as the
  // Windows program's window is found by its window class. GTK sets its own
  // during start-up, so this comes after it.
  gdk_set_program_class(std::string(kWindowClass).c_str());

  const std::string exeDir = ExeDir();
  Launcher launcher;
  if (!StartWindowHost({.exeDir = exeDir,
                        .uiFolder = FindUiFolder(exeDir),
                        .instanceListener = claim.listener.get(),
                        .command = {},
                        .launcher = &launcher}))
    return 1;
  gtk_main();

  // The window is gone. Running tasks are asked to stop (a download keeps
  // what arrived in its ".part") and waited for, while the main loop goes
  // on serving what they hand it: an Event finds no page and is dropped, a
  // folder question is answered as cancelled.
  const bool joined = CloseLauncher(launcher, kCloseWait, [] {
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
  });
  std::fflush(nullptr);
  // A task that overstayed still works on the launcher: the process ends
  // around it rather than tearing the launcher down under it.
  if (!joined) std::_Exit(0);
  return 0;
}

#pragma once
// The GTK 3 + WebKitGTK window host: the borderless main window, the web
// view that fills it, the bridge between page and core, and the navigation
// policy that keeps the view on the program's own page.
#include <functional>
#include <string>

namespace tarn {

struct Launcher;

struct WindowHostSetup {
  std::string exeDir;    // the program's folder; data/ goes to StateDirFor(exeDir)
  std::string uiFolder;  // served under the UI prefix
  // Readable when a later copy asks for the window; -1 for none. Not owned.
  int instanceListener = -1;
  // Where each string Command goes once the window commands are served;
  // Dispatch when empty.
  std::function<void(const std::string& command)> command;
  // The launcher the window serves: its slots are installed here and its
  // Commands go there. Not owned; outlives the window and its tasks.
  Launcher* launcher = nullptr;
};

// Creates the hidden main window and starts the web view on the main loop;
// needs gtk_init first. The window is shown when the web view is in place
// (or earlier, when a later copy asks for it), and closing it quits the
// running gtk_main. False when the window cannot be created.
bool StartWindowHost(WindowHostSetup setup);

}  // namespace tarn

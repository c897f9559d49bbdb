#pragma once
// The three one-byte flags through which the page's install commands reach a
// running install. The command table flips them on the window thread and
// the install engine and its downloader poll them on the install task, so
// they sit here, below both.
#include <atomic>

namespace tarn {

// Set and cleared only by exchange; read with a plain load.
struct InstallFlags {
  std::atomic<bool> installRunning{false};
  std::atomic<bool> pauseRequested{false};
  std::atomic<bool> stopRequested{false};
};

// Where an install run takes its folder from.
enum class InstallFolderSource {
  Shown,   // "install.begin": the folder the install screen shows, no dialog
  Dialog,  // "install.folder": the player picks one
  Saved,   // "install.resume": the one saved in install.cfg (the dialog when none is)
};

}  // namespace tarn

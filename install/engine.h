#pragma once
// The install engine: fetches the signed list, downloads the client into the
// chosen folder with pause, stop and resume, and refreshes the page at the end.

namespace tarn {

// One install run. With pickFolder the player chooses the folder; without
// it the configured folder is used. Ends at once when a run is active.
void RunInstall(bool pickFolder);

// Works out and posts the idle state of the install screen.
void RefreshInstallScreen();

}  // namespace tarn

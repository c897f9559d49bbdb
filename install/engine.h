#pragma once
// The install engine: fetches the signed list, settles the folder, compares
// what is already there, checks the space, downloads the rest one file after
// another with pause, stop and retries, and stamps the client's build. All
// the page sees of it is the "install" Event.
#include <string>

#include "client/file_list.h"

namespace tarn {

// One install run (a background task). With pickFolder the player chooses
// the folder; without it the folder saved in install.cfg is used, and the
// dialog opens only when none is saved. Ends at once, silently, while
// another run is active; turned away with stage "ошибка" while the client
// update writes the client.
void RunInstall(bool pickFolder);

// Fetches the list, checks its signature and that an install can be made
// from it. False with the player's message otherwise.
bool FetchInstallList(FileList& list, std::string& message);

// Works out and posts the idle state of the install screen: "нет" with the
// suggested folder, "продолжить" with the saved one, or "ошибка". Posts once
// at its start and once at its end.
void RefreshInstallScreen();

// Stage "ошибка" with message, speed and time left cleared, and the Event.
// Called by a run, which ends right after it.
void FailInstall(const std::string& message);

}  // namespace tarn

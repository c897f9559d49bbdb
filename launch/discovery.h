#pragma once
// Where the game client lives: the folder holding ElementClient.exe.
#include <string>

namespace tarn {

// The client folder from the install record or a search near the launcher;
// empty when none is found.
std::string FindClientDir();

// Whether a finished install of the client exists.
bool IsClientInstalled();

}  // namespace tarn

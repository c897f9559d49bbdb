#pragma once
// Starting the game client and the "env" Event.
#include <string>

namespace tarn {

// Starts ElementClient.exe with the account and character on its command
// line and reports through "progress".
void LaunchGame(const std::string& login, const std::string& password, const std::string& character);

// Posts the "env" Event: client folder, service address, launcher version.
void PushEnv();

}  // namespace tarn

#pragma once
// Starting the game client and the "env" Event.
#include <string>
#include <string_view>

#include "bridge/context.h"
#include "client/context.h"
#include "launch/runtime.h"

namespace tarn {

// Starts ElementClient.exe from the client folder with the account and
// character on its command line and reports through "progress": not found,
// started or failed. Never waits for the game.
void LaunchGame(LaunchContext& ctx, const std::string& login, const std::string& password,
                const std::string& character);

// Posts the "env" Event: client folder, service address, launcher version.
void PushEnv(ClientContext& ctx);

// What the game's command line is built from; views of the caller's texts,
// so the password is not copied.
struct GameCall {
  std::string_view clientDir;
  bool sepfile = false;  // set-aside packs lie in the client folder
  std::string_view login;
  std::string_view password;
  std::string_view character;
};

// The quoted client path, "startbypatcher", then " sepfile" and the user,
// pwd and role pieces, each value between double quotes, each piece only
// when its value is non-empty. A value is inserted as it stands unless it
// holds a double quote or ends in a backslash: such a value is escaped by
// the Windows argument rules, so the game still reads it as one argument.
std::string GameCommandLine(const GameCall& call);

// Whether the game may be started with these values: none may hold NUL
// (the command line ends there on Windows), and the login and character,
// which come from the page, hold no control character at all.
bool LaunchValuesAcceptable(std::string_view login, std::string_view password, std::string_view character);

}  // namespace tarn

#pragma once
// The page's Commands and where each one goes. A Command is a name, then
// optionally a line feed and a flat JSON payload. Quick commands run on the
// caller's (window) thread; slow ones become background tasks that own
// copies of their payload fields.
#include <string>
#include <string_view>
#include <vector>

#include "bridge/account.h"
#include "bridge/install_flags.h"

namespace tarn {

struct CommandText {
  std::string_view name;     // everything before the first line feed
  std::string_view payload;  // everything after it; empty without one
};

// Splits at the first line feed; nothing is trimmed.
CommandText SplitCommand(std::string_view command);

// The work behind the command table. The bridge knows no subsystem: the
// program's wiring layer (wiring/), above every subsystem, fills this record
// with the real entry points; tests hand in their own to watch what reaches
// which one.
struct Workers {
  void (*pushAccounts)();
  void (*addAccount)(const std::string& login, const std::string& password);
  void (*removeAccount)(const std::string& login);
  void (*openCabinet)(const std::string& login);
  std::vector<Account> (*loadAccounts)();
  void (*launchGame)(const std::string& login, const std::string& password, const std::string& character);
  void (*verifyClient)();
  void (*updateClient)();
  void (*runInstall)(InstallFolderSource source);
  std::string (*findClientDir)();
  // The initial push.
  bool (*isClientInstalled)();
  void (*markInstalled)();  // the install state says "готово"
  void (*postInstallEvent)();
  void (*postEpoch)();
  void (*pushNews)();
  void (*pushEnv)();
  void (*checkForUpdate)();
  void (*refreshInstallScreen)();
  // The player's download speed limit: kept and applied, then announced.
  void (*setSpeedLimit)(const std::string& kibps);
  void (*pushSpeedLimit)();
};

// Serves one Command. Unknown names do nothing. Never waits for a task.
void Dispatch(std::string_view command, const Workers& workers);

// Starts the initial push of state to a page that has just announced itself.
void PushAll(const Workers& workers);


// The address behind a "link.open" key; empty for an unknown key.
std::string_view LinkTarget(std::string_view key);

// The stored password of the first account with exactly this login, the
// list's own text and no copy (it holds a plain password); an empty text
// when none matches.
const std::string& PasswordFor(const std::vector<Account>& accounts, std::string_view login);

}  // namespace tarn

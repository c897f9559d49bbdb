#pragma once
// The page's Commands and where each one goes. A Command is a name, then
// optionally a line feed and a flat JSON payload. Quick commands run on the
// caller's (window) thread; slow ones become background tasks that own
// copies of their payload fields.
#include <string>
#include <string_view>
#include <vector>

#include "bridge/account.h"
#include "bridge/context.h"
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
  void (*pushAccounts)(LauncherContext& ctx);
  void (*addAccount)(LauncherContext& ctx, const std::string& login, const std::string& password);
  void (*removeAccount)(LauncherContext& ctx, const std::string& login);
  void (*openCabinet)(LauncherContext& ctx, const std::string& login);
  std::vector<Account> (*loadAccounts)(LauncherContext& ctx);
  void (*launchGame)(LauncherContext& ctx, const std::string& login, const std::string& password,
                     const std::string& character);
  void (*verifyClient)(LauncherContext& ctx);
  void (*updateClient)(LauncherContext& ctx);
  void (*runInstall)(LauncherContext& ctx, InstallFolderSource source);
  std::string (*findClientDir)(LauncherContext& ctx);
  // The initial push.
  bool (*isClientInstalled)(LauncherContext& ctx);
  void (*markInstalled)(LauncherContext& ctx);  // the install state says "готово"
  void (*postInstallEvent)(LauncherContext& ctx);
  // The installed client's play screen: epoch, news, accounts, env and the
  // update state, in that order.
  void (*catchUp)(LauncherContext& ctx);
  void (*pushNews)(LauncherContext& ctx);
  void (*refreshInstallScreen)(LauncherContext& ctx);
  // The player's download speed limit: kept and applied, then announced.
  void (*setSpeedLimit)(LauncherContext& ctx, const std::string& kibps);
  void (*pushSpeedLimit)(LauncherContext& ctx);
};

// Serves one Command of the launcher ctx. Unknown names do nothing. Never
// waits for a task; the tasks it starts belong to ctx's group.
void Dispatch(LauncherContext& ctx, std::string_view command, const Workers& workers);

// Starts the initial push of state to a page that has just announced itself.
void PushAll(LauncherContext& ctx, const Workers& workers);

// The address behind a "link.open" key; empty for an unknown key.
std::string_view LinkTarget(std::string_view key);

// The stored password of the first account with exactly this login, the
// list's own text and no copy (it holds a plain password); an empty text
// when none matches.
const std::string& PasswordFor(const std::vector<Account>& accounts, std::string_view login);

}  // namespace tarn

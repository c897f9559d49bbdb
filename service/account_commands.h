#pragma once
// The page's account commands: each checks accounts against the operator's
// account service and reports through the "accounts" and "toast" Events.
// All of them block on the network and run as background tasks.
#include <cstdint>
#include <string>
#include <string_view>

#include "bridge/context.h"
#include "service/account_store.h"

namespace tarn {

// Whether text holds a control character (NUL, TAB, line ends, DEL...).
// No login, password or character name may: they would cut a stored line,
// the game's command line or the C strings of the platform short. Commands
// that meet one refuse the way they refuse any other bad value.
bool HasControlCharacter(std::string_view text);

// POSTs body, which holds a password, to path as HttpCall does, and wipes
// it after.
bool AskService(LauncherContext& ctx, std::string_view path, std::string body, std::string& response,
                uint32_t& status);

// The body of an "/api/auth" or "/api/ticket" request, JSON without
// spaces; fresh asks the service for the account's characters.
enum class AuthFreshness { Plain, Fresh };
std::string AuthRequestBody(std::string_view login, std::string_view password,
                            AuthFreshness fresh = AuthFreshness::Plain);

// {"accounts":[{"login":"L","chars":C},...]} in store order, each account
// checked with the service one after another; C is the service's "roles"
// when the check passed and that is a JSON array or object, else [].
std::string BuildAccountsEvent(AccountsContext& ctx);

// Posts the "accounts" Event.
void PushAccounts(AccountsContext& ctx);

// Checks login and password with the service and stores them on success
// (replacing the password of every stored account with that login), then
// posts the refreshed list and a toast.
void AddAccount(AccountsContext& ctx, const std::string& login, const std::string& password);

// Removes every stored account with this login and posts the list again.
void RemoveAccount(AccountsContext& ctx, const std::string& login);

}  // namespace tarn

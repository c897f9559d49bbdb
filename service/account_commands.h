#pragma once
// The page's account commands: each checks accounts against the operator's
// account service and reports through the "accounts" and "toast" Events.
#include <string>

namespace tarn {

// Posts the "accounts" Event with every stored account and its characters.
void PushAccounts();

// Checks login and password with the service, stores them on success.
void AddAccount(const std::string& login, const std::string& password);

// Removes every stored account with this login.
void RemoveAccount(const std::string& login);

}  // namespace tarn

#include "service/account_commands.h"

namespace tarn {

// The account service client is not built yet: these report nothing.
void PushAccounts() {}
void AddAccount(const std::string&, const std::string&) {}
void RemoveAccount(const std::string&) {}

}  // namespace tarn

#pragma once
// The stored accounts: logins with passwords encrypted for the current OS
// user, in the data folder.
#include <string>
#include <vector>

namespace tarn {

struct Account {
  std::string login;
  std::string password;
};

// Every stored account in file order; problems give a shorter or empty list.
std::vector<Account> LoadAccounts();

}  // namespace tarn

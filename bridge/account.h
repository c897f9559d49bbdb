#pragma once
// One stored game account, as every layer passes it around: the store reads
// and writes it, the game's start looks a password up in a list of them.
#include <string>
#include <utility>
#include <vector>

#include "platform/process.h"

namespace tarn {

struct Account {
  std::string login;     // as typed; compared exactly, case included
  std::string password;  // plain while in memory
  // The stored text of a password that could not be opened here (sealed
  // under another user or key, or damaged), kept so that every save writes
  // it back unchanged and the right user gets it back. Empty otherwise;
  // whoever sets a new password clears it.
  std::string unopened{};
  bool operator==(const Account&) const = default;
};

// Accounts as the store hands them over, passwords in plain text, wiped
// when they go: whoever loads the store holds the list in one of these, so
// no password stays behind in freed memory.
struct WipedAccounts {
  std::vector<Account> list;
  explicit WipedAccounts(std::vector<Account> loaded) : list(std::move(loaded)) {}
  ~WipedAccounts() {
    for (Account& a : list) WipeText(a.password);
  }
  WipedAccounts(const WipedAccounts&) = delete;
  WipedAccounts& operator=(const WipedAccounts&) = delete;
};

}  // namespace tarn

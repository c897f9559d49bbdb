#pragma once
// One stored game account, as every layer passes it around: the store reads
// and writes it, the command table looks a password up in a list of them.
#include <string>

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

}  // namespace tarn

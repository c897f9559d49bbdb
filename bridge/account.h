#pragma once
// One stored game account, as every layer passes it around: the store reads
// and writes it, the command table looks a password up in a list of them.
#include <string>

namespace tarn {

struct Account {
  std::string login;     // as typed; compared exactly, case included
  std::string password;  // plain while in memory
  bool operator==(const Account&) const = default;
};

}  // namespace tarn

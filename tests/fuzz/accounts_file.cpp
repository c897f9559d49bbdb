// The account store's file: whatever accounts.dat holds, the accounts read
// from it are written back to a file that reads the same.
#include <string>

#include "fuzz.h"
#include "service/account_store.h"

using namespace tarn;
using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<Account> accounts = ParseAccountsFile(fuzz::Bytes(data, size));
  std::string written;
  for (const Account& a : accounts) {
    Check(!a.login.empty(), "no account without a login");
    Check(a.login.find_first_of("\t\n") == std::string::npos, "a login holds no TAB or LF");
    Check(a.unopened.find('\n') == std::string::npos, "a stored password text holds no LF");
    Check(a.password.empty(), "nothing is unsealed while parsing");
    // How a save writes an account whose password stays sealed.
    written += a.login + "\t" + a.unopened + "\r\n";
  }
  Check(ParseAccountsFile(written) == accounts, "a parsed file written back reads the same");

  // Grown past every bound: never more than kMaxAccounts, and "capped"
  // only when the list is full.
  std::string grown(fuzz::Bytes(data, size));
  grown += "\nx\ty\n";
  while (grown.size() < 4 * kMaxAccounts) grown += grown;
  bool capped = false;
  const std::vector<Account> many = ParseAccountsFile(grown, &capped);
  Check(many.size() <= kMaxAccounts, "at most kMaxAccounts accounts");
  Check(!capped || many.size() == kMaxAccounts, "capped only at the bound");
  return 0;
}

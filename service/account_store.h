#pragma once
// The stored accounts: logins with passwords sealed for the current OS
// user, in accounts.dat in the data folder. There is no cache: every reader
// loads the whole file and every change rewrites it whole.
//
// accounts.dat is UTF-8 without a byte-order mark, one line per account:
// the login, a TAB, the sealed password as lowercase hexadecimal, CR LF
// (the last line too). An empty list is a file of zero bytes.
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/account.h"
#include "bridge/context.h"

namespace tarn {

// This launcher's locks of accounts.dat.
struct AccountLocks {
  // Held for one whole load or one whole save, so a load never sees a file
  // that this launcher is half-way through replacing.
  std::mutex store;
  // Held for a whole load–change–save; always taken before store.
  std::mutex change;
};

// What the account functions reach: the launcher's floor and the locks.
struct AccountsContext {
  LauncherContext& launcher;
  AccountLocks& locks;

  operator LauncherContext&() const { return launcher; }
};

// The data folder's accounts.dat.
std::string AccountsPath(LauncherContext& ctx);

// The password sealed for the current user, as lowercase hex; empty when
// it cannot be sealed.
std::string ProtectPassword(std::string_view password);

// The password back from its hex form; empty for odd-length text, or when
// the bytes were sealed by another user or machine or were damaged. A pair
// that is not wholly hexadecimal counts by its valid leading digit, if any.
std::string UnprotectPassword(std::string_view hex);

// How much accounts.dat may hold: a list of accounts a player keeps by hand
// is short, and every refresh asks the service about each one. The account
// commands keep logins and passwords short enough that kMaxAccounts of them
// fit in kAccountsFileLimitBytes.
inline constexpr size_t kMaxAccounts = 64;
inline constexpr size_t kAccountsFileLimitBytes = 256 * 1024;
inline constexpr size_t kMaxLoginBytes = 256;
inline constexpr size_t kMaxPasswordBytes = 1024;

// The accounts of an accounts.dat text, nothing unsealed yet: every
// password empty and the text after the login's TAB in unopened. Lines
// without a TAB or with an empty login are skipped. At most kMaxAccounts
// come back; capped says whether more lines were accounts.
std::vector<Account> ParseAccountsFile(std::string_view bytes, bool* capped = nullptr);

// Every stored account in file order. Never fails: a missing file is an
// empty list, lines without a TAB or with an empty login are skipped, and a
// password that cannot be opened comes back empty with its login kept and
// its stored text in unopened.
// A file past kAccountsFileLimitBytes or kMaxAccounts is damaged: the
// accounts within both bounds are kept, the log says so, and the next save
// writes only those.
std::vector<Account> LoadAccounts(AccountsContext& ctx);

// Replaces the stored list. An account with an empty password and an
// unopened text keeps that text as it stands. The old file stays whole
// unless the new one was written completely: false when the data folder,
// the new file or a password's sealing failed.
bool SaveAccounts(AccountsContext& ctx, const std::vector<Account>& accounts);

// One whole load, change and save, serialised against every other change in
// this process, so that commands running side by side never lose each
// other's work. change answers whether it changed anything; when it did
// not, nothing is written. True when nothing needed saving or the save
// succeeded. change must not call back into the store.
bool ChangeAccounts(AccountsContext& ctx, const std::function<bool(std::vector<Account>& accounts)>& change);

// The stored password of the first account with exactly this login, the
// list's own text and no copy (it holds a plain password); an empty text
// when none matches.
const std::string& PasswordFor(const std::vector<Account>& accounts, std::string_view login);

}  // namespace tarn

#include "service/account_store.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "bridge/state_file.h"
#include "bridge/text.h"
#include "platform/encoding.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/secret_store.h"

namespace tarn {
namespace {

// Bound to every sealed password, so a blob sealed for another purpose of
// the same user does not open as a password.
constexpr std::string_view kSealDescription = "ТАРН: пароль аккаунта";

// More than any standard library keeps inside a string itself.
constexpr size_t kPasswordBlockBytes = 32;

std::string DataFolderPath(LauncherContext& ctx) {
  std::string folder = DataFolder(ctx);
  return folder.empty() ? JoinPath(ExeDir(), "data") : folder;
}

// The hex text back to the sealed bytes and open them. False when the text
// has an odd length or the bytes do not open for this user.
bool OpenPassword(std::string_view hex, std::string& plain) {
  plain.clear();
  if (hex.size() % 2 != 0) return false;
  std::string sealed;
  sealed.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = HexDigitValue(hex[i]);
    const int lo = HexDigitValue(hex[i + 1]);
    int value = 0;
    if (hi >= 0) value = lo >= 0 ? hi * 16 + lo : hi;
    sealed += static_cast<char>(value);
  }
  if (!UnprotectForUser(sealed, kSealDescription, plain)) return false;
  std::string clean = SanitizeUtf8(plain);
  WipeText(plain);  // the opened text must not linger in freed memory
  plain = std::move(clean);
  return true;
}

}  // namespace

std::string AccountsPath(LauncherContext& ctx) { return JoinPath(DataFolderPath(ctx), "accounts.dat"); }

std::string ProtectPassword(std::string_view password) {
  std::string sealed;
  if (!ProtectForUser(password, kSealDescription, sealed)) return {};
  return HexText(sealed);
}

std::string UnprotectPassword(std::string_view hex) {
  std::string plain;
  OpenPassword(hex, plain);
  return plain;
}

std::vector<Account> ParseAccountsFile(std::string_view bytes, bool* capped) {
  if (capped) *capped = false;
  const std::string text = SanitizeUtf8(bytes);
  std::vector<Account> accounts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t tab = line.find('\t');
    if (line.empty() || tab == std::string_view::npos || tab == 0) continue;
    if (accounts.size() == kMaxAccounts) {
      if (capped) *capped = true;
      break;
    }
    accounts.push_back({std::string(line.substr(0, tab)), {}, std::string(line.substr(tab + 1))});
  }
  return accounts;
}

std::vector<Account> LoadAccounts(AccountsContext& ctx) {
  std::lock_guard lock(ctx.locks.store);
  std::string bytes;
  bool oversized = false;
  if (!ReadStateFile(ctx.launcher.log, AccountsPath(ctx), kAccountsFileLimitBytes, bytes, oversized)) return {};
  bool capped = false;
  std::vector<Account> accounts = ParseAccountsFile(bytes, &capped);
  // Once a run: every command loads the store.
  if (capped && ctx.launcher.log.FirstTime("accounts capped"))
    LogLine(ctx.launcher.log, "в %s больше %zu аккаунтов — учтены первые, остальные уйдут при следующей записи",
            AccountsPath(ctx).c_str(), kMaxAccounts);
  // Room for one more before any password is opened, and a block of its
  // own for every password, even a short one that would fit inside its
  // string: then a list that grows or closes up moves pointers, never a
  // password's bytes, and leaves no copy behind where WipedAccounts does
  // not reach.
  accounts.reserve(kMaxAccounts);
  for (Account& a : accounts) {
    std::string opened;
    if (OpenPassword(a.unopened, opened)) a.unopened.clear();
    a.password.reserve(std::max(opened.size(), kPasswordBlockBytes));
    a.password.assign(opened);
    WipeText(opened);
  }
  return accounts;
}

bool SaveAccounts(AccountsContext& ctx, const std::vector<Account>& accounts) {
  std::lock_guard lock(ctx.locks.store);
  std::string text;
  for (const Account& a : accounts) {
    // A password this user cannot open is still the player's: sealing the
    // empty text over it would destroy it for the user who can.
    const bool keep = a.password.empty() && !a.unopened.empty();
    const std::string hex = keep ? a.unopened : ProtectPassword(a.password);
    // Writing the line without its password would lose it while the
    // player is told the account was stored.
    if (hex.empty()) return false;
    text += a.login;
    text += '\t';
    text += hex;
    text += "\r\n";
  }
  const std::string folder = DataFolderPath(ctx);
  MakeFolder(folder);
  return ReplaceFileAtomically(JoinPath(folder, "accounts.dat"), text, FileAccess::OwnerOnly);
}

bool ChangeAccounts(AccountsContext& ctx, const std::function<bool(std::vector<Account>& accounts)>& change) {
  std::lock_guard lock(ctx.locks.change);
  WipedAccounts accounts(LoadAccounts(ctx));
  if (!change(accounts.list)) return true;
  return SaveAccounts(ctx, accounts.list);
}

// PasswordFor's answer when no account matches.
const std::string kNoPassword;

const std::string& PasswordFor(const std::vector<Account>& accounts, std::string_view login) {
  for (const Account& a : accounts)
    if (a.login == login) return a.password;
  return kNoPassword;
}

}  // namespace tarn

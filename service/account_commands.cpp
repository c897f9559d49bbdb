#include "service/account_commands.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "bridge/text.h"
#include "service/account_store.h"
#include "service/call.h"
#include "service/json_fragment.h"

namespace tarn {
namespace {

constexpr char kAddedEvent[] = R"({"screen":"acc","toast":{"kind":"ok","text":"Аккаунт добавлен"}})";
constexpr char kRejectedEvent[] = R"({"toast":{"kind":"error","text":"Неверный логин или пароль"}})";
constexpr char kNotSavedEvent[] = R"({"toast":{"kind":"error","text":"Не удалось сохранить аккаунт"}})";
constexpr char kFullEvent[] =
    R"({"toast":{"kind":"error","text":"Аккаунтов уже 64 — удалите ненужный, чтобы добавить новый"}})";
static_assert(kMaxAccounts == 64, "the toast above names the number");
constexpr char kNotRemovedEvent[] = R"({"toast":{"kind":"error","text":"Не удалось удалить аккаунт"}})";

// "accounts.refresh" as a whole: the screen waits for it, so a service that
// answers slowly gets no more than this, whatever the number of accounts.
constexpr std::chrono::milliseconds kRefreshLimit{60000};
constexpr std::chrono::milliseconds kAuthRequestLimit{kSmallRequestTotalMs};

bool Passed(bool ok, uint32_t status) { return ok && status == 200; }

// A login must come back from accounts.dat as it went in: the file's own
// separators inside it would cut it, or hand its password to another line.
bool StorableLogin(std::string_view login) { return !login.empty() && !HasControlCharacter(login); }

}  // namespace

bool AskService(LauncherContext& ctx, std::string_view path, std::string body, std::string& response,
                uint32_t& status) {
  const bool ok = HttpCall(ctx, "POST", path, body, response, status);
  WipeText(body);
  return ok;
}

bool HasControlCharacter(std::string_view text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  return false;
}

std::string AuthRequestBody(std::string_view login, std::string_view password, AuthFreshness fresh) {
  // Written into one block sized once, with no pieces on the way: a copy of
  // the password must not be let go unwiped.
  std::string body;
  body.reserve((login.size() + password.size()) * kJsonEscapeGrowth + 48);
  body += R"({"login":")";
  AppendJsonEscaped(body, login);
  body += R"(","password":")";
  AppendJsonEscaped(body, password);
  body += '"';
  if (fresh == AuthFreshness::Fresh) body += R"(,"fresh":true)";
  body += '}';
  return body;
}

std::string BuildAccountsEvent(AccountsContext& ctx) {
  const WipedAccounts loaded(LoadAccounts(ctx));
  const std::vector<Account>& accounts = loaded.list;
  const auto started = std::chrono::steady_clock::now();
  // One answer per login: a login stored twice is asked about once, with
  // its first password, as the launch would use it.
  std::map<std::string, std::string> chars;
  size_t unasked = 0;
  std::string event = R"({"accounts":[)";
  bool first = true;
  for (const Account& a : accounts) {
    auto known = chars.find(a.login);
    if (known == chars.end()) {
      std::string found = "[]";
      // A request is begun only when it can end within the overall limit.
      if (std::chrono::steady_clock::now() - started + kAuthRequestLimit <= kRefreshLimit) {
        std::string response;
        uint32_t status = 0;
        const bool ok = AskService(ctx, "/api/auth", AuthRequestBody(a.login, a.password, AuthFreshness::Fresh),
                                   response, status);
        if (Passed(ok, status)) found = ServiceFragmentOrEmptyList(JsonField(response, "roles"));
      } else {
        ++unasked;
      }
      known = chars.emplace(a.login, std::move(found)).first;
    }
    if (!first) event += ',';
    first = false;
    event += R"({"login":")" + JsonEscape(a.login) + R"(","chars":)" + known->second + '}';
  }
  event += "]}";
  if (unasked > 0) LogLine(ctx.launcher.log, "проверка аккаунтов не уложилась во время: %zu не проверены", unasked);
  return event;
}

void PushAccounts(AccountsContext& ctx) { PostToUi(ctx, BuildAccountsEvent(ctx)); }

void AddAccount(AccountsContext& ctx, const std::string& login, const std::string& password) {
  if (!StorableLogin(login) || HasControlCharacter(password) || login.size() > kMaxLoginBytes ||
      password.size() > kMaxPasswordBytes) {
    PostToUi(ctx, kRejectedEvent);
    return;
  }
  std::string response;
  uint32_t status = 0;
  const bool ok = AskService(ctx, "/api/auth", AuthRequestBody(login, password), response, status);
  if (!Passed(ok, status)) {
    PostToUi(ctx, kRejectedEvent);
    return;
  }
  bool full = false;
  const bool saved = ChangeAccounts(ctx, [&](std::vector<Account>& accounts) {
    bool matched = false;
    for (Account& a : accounts) {
      if (a.login == login) {
        WipeText(a.password);  // the assignment may let its block go
        a.password = password;
        a.unopened.clear();
        matched = true;
      }
    }
    if (!matched && accounts.size() >= kMaxAccounts) {
      full = true;
      return false;
    }
    if (!matched) accounts.push_back({login, password, {}});
    return true;
  });
  if (full) {
    PostToUi(ctx, kFullEvent);
    return;
  }
  if (!saved) LogLine(ctx.launcher.log, "Не удалось сохранить %s", AccountsPath(ctx).c_str());
  PushAccounts(ctx);
  PostToUi(ctx, saved ? kAddedEvent : kNotSavedEvent);
}

void RemoveAccount(AccountsContext& ctx, const std::string& login) {
  // No stored login holds one, so there is nothing such a login can name.
  if (HasControlCharacter(login)) return;
  const bool saved = ChangeAccounts(ctx, [&](std::vector<Account>& accounts) {
    for (Account& a : accounts)
      if (a.login == login) WipeText(a.password);
    const auto gone = std::erase_if(accounts, [&](const Account& a) { return a.login == login; });
    return gone > 0;
  });
  if (!saved) LogLine(ctx.launcher.log, "Не удалось сохранить %s", AccountsPath(ctx).c_str());
  PushAccounts(ctx);
  if (!saved) PostToUi(ctx, kNotRemovedEvent);
}

}  // namespace tarn

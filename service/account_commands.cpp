#include "service/account_commands.h"

#include <algorithm>

#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "bridge/text.h"
#include "service/account_store.h"
#include "service/http.h"
#include "service/json_fragment.h"

namespace tarn {
namespace {

constexpr char kAddedEvent[] = R"({"screen":"acc","toast":{"kind":"ok","text":"Аккаунт добавлен"}})";
constexpr char kRejectedEvent[] = R"({"toast":{"kind":"error","text":"Неверный логин или пароль"}})";
constexpr char kNotSavedEvent[] = R"({"toast":{"kind":"error","text":"Не удалось сохранить аккаунт"}})";
constexpr char kNotRemovedEvent[] = R"({"toast":{"kind":"error","text":"Не удалось удалить аккаунт"}})";

bool Passed(bool ok, uint32_t status) { return ok && status == 200; }

// A login must come back from accounts.dat as it went in: the file's own
// separators inside it would cut it, or hand its password to another line.
bool StorableLogin(std::string_view login) { return !login.empty() && !HasControlCharacter(login); }

}  // namespace

bool HasControlCharacter(std::string_view text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  return false;
}

std::string AuthRequestBody(std::string_view login, std::string_view password, AuthFreshness fresh) {
  std::string body = R"({"login":")" + JsonEscape(login) + R"(","password":")" + JsonEscape(password) + '"';
  if (fresh == AuthFreshness::Fresh) body += R"(,"fresh":true)";
  body += '}';
  return body;
}

std::string BuildAccountsEvent() {
  const std::vector<Account> accounts = LoadAccounts();
  std::string event = R"({"accounts":[)";
  bool first = true;
  for (const Account& a : accounts) {
    std::string response;
    uint32_t status = 0;
    const bool ok =
        HttpCall("POST", "/api/auth", AuthRequestBody(a.login, a.password, AuthFreshness::Fresh), response, status);
    const std::string chars = Passed(ok, status) ? ServiceFragmentOrEmptyList(JsonField(response, "roles")) : "[]";
    if (!first) event += ',';
    first = false;
    event += R"({"login":")" + JsonEscape(a.login) + R"(","chars":)" + chars + '}';
  }
  event += "]}";
  return event;
}

void PushAccounts() { PostToUi(BuildAccountsEvent()); }

void AddAccount(const std::string& login, const std::string& password) {
  if (!StorableLogin(login) || HasControlCharacter(password)) {
    PostToUi(kRejectedEvent);
    return;
  }
  std::string response;
  uint32_t status = 0;
  const bool ok = HttpCall("POST", "/api/auth", AuthRequestBody(login, password), response, status);
  if (!Passed(ok, status)) {
    PostToUi(kRejectedEvent);
    return;
  }
  const bool saved = ChangeAccounts([&](std::vector<Account>& accounts) {
    bool matched = false;
    for (Account& a : accounts) {
      if (a.login == login) {
        a.password = password;
        a.unopened.clear();
        matched = true;
      }
    }
    if (!matched) accounts.push_back({login, password, {}});
    return true;
  });
  if (!saved) LogLine("Не удалось сохранить %s", AccountsPath().c_str());
  PushAccounts();
  PostToUi(saved ? kAddedEvent : kNotSavedEvent);
}

void RemoveAccount(const std::string& login) {
  // No stored login holds one, so there is nothing such a login can name.
  if (HasControlCharacter(login)) return;
  const bool saved = ChangeAccounts([&](std::vector<Account>& accounts) {
    const auto gone = std::erase_if(accounts, [&](const Account& a) { return a.login == login; });
    return gone > 0;
  });
  if (!saved) LogLine("Не удалось сохранить %s", AccountsPath().c_str());
  PushAccounts();
  if (!saved) PostToUi(kNotRemovedEvent);
}

}  // namespace tarn

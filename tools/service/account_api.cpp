#include "tools/service/account_api.h"

#include <openssl/rand.h>

#include <nlohmann/json.hpp>

#include <cstdio>

#include "tools/common/crypto.h"
#include "tools/common/site.h"
#include "tools/service/answer.h"
#include "tools/service/query.h"

namespace tarn::tools {
namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

struct Account {
  std::string password;
  Json roles;
};

void AnswerJson(httplib::Response& res, int status, const Json& json) {
  Answer(res, status, "application/json; charset=utf-8", json.dump(-1, ' ', false, Json::error_handler_t::replace));
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string HtmlPage(std::string_view title, std::string_view body) {
  return "<!DOCTYPE html>\n<html lang=\"ru\"><head><meta charset=\"utf-8\"><title>" + HtmlEscape(title) +
         "</title></head>\n<body><h1>" + HtmlEscape(title) + "</h1>\n" + std::string(body) + "</body></html>\n";
}

// Reads accounts.json afresh for every check, so an operator's edit takes
// effect without a restart.
bool LoadAccounts(const std::filesystem::path& site, std::map<std::string, Account>& accounts) {
  std::string text;
  if (!ReadWholeFile(SiteAccountsPath(site), text)) return false;
  const Json json = Json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.contains("accounts") || !json["accounts"].is_array()) {
    std::fprintf(stderr, "tarn-service: %s is not {\"accounts\":[...]}\n", SiteAccountsPath(site).c_str());
    return false;
  }
  for (const Json& a : json["accounts"]) {
    if (!a.is_object() || !a.contains("login") || !a["login"].is_string() || !a.contains("password") ||
        !a["password"].is_string()) {
      continue;
    }
    accounts.emplace(a["login"].get<std::string>(),
                     Account{a["password"].get<std::string>(), a.contains("roles") ? a["roles"] : Json::array()});
  }
  return true;
}

// The login of a request body with valid credentials; 400 or 401 answered
// otherwise.
bool CheckCredentials(const std::filesystem::path& site, const httplib::Request& req, httplib::Response& res,
                      std::string& login, Account& account) {
  const Json body = Json::parse(req.body, nullptr, false);
  if (body.is_discarded() || !body.is_object() || !body.contains("login") || !body["login"].is_string() ||
      !body.contains("password") || !body["password"].is_string()) {
    AnswerJson(res, 400, Json{{"error", "expected {\"login\":\"...\",\"password\":\"...\"}"}});
    return false;
  }
  std::map<std::string, Account> accounts;
  if (!LoadAccounts(site, accounts)) {
    AnswerJson(res, 500, Json{{"error", "the account store is unreadable"}});
    return false;
  }
  login = body["login"].get<std::string>();
  const auto it = accounts.find(login);
  if (it == accounts.end() || it->second.password != body["password"].get<std::string>()) {
    AnswerJson(res, 401, Json{{"error", "invalid login or password"}});
    return false;
  }
  account = it->second;
  return true;
}

void Auth(const std::filesystem::path& site, const httplib::Request& req, httplib::Response& res) {
  std::string login;
  Account account;
  if (!CheckCredentials(site, req, res, login, account)) return;
  // "roles" comes first: the launcher takes the first "roles": in the
  // text, and a login could spell that inside its own value.
  Json answer;
  answer["roles"] = account.roles;
  answer["login"] = login;
  AnswerJson(res, 200, answer);
}

void News(const std::filesystem::path& site, httplib::Response& res) {
  std::string text;
  if (!ReadWholeFile(SiteNewsPath(site), text)) return AnswerJson(res, 200, Json{{"news", Json::array()}});
  const Json json = Json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.is_object() || !json.contains("news")) {
    std::fprintf(stderr, "tarn-service: %s is not {\"news\":...}\n", SiteNewsPath(site).c_str());
    return AnswerJson(res, 500, Json{{"error", "news.json is not valid"}});
  }
  // Served as the operator wrote it: the launcher passes the value on
  // character for character.
  Answer(res, 200, "application/json; charset=utf-8", text);
}

// 32 hexadecimal digits, or empty when the system has no randomness.
std::string NewTicket() {
  unsigned char random[16];
  if (RAND_bytes(random, sizeof random) != 1) return {};
  return LowerHex(random, sizeof random);
}

}  // namespace

AccountApi::AccountApi(std::filesystem::path site, double ticketTtlSeconds)
    : site_(std::move(site)),
      ticketTtl_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(ticketTtlSeconds))) {}

void AccountApi::Route(httplib::Server& server) {
  server.Post("/api/auth", [this](const httplib::Request& req, httplib::Response& res) { Auth(site_, req, res); });
  server.Post("/api/ticket", [this](const httplib::Request& req, httplib::Response& res) { Ticket(req, res); });
  server.Get("/api/news", [this](const httplib::Request&, httplib::Response& res) { News(site_, res); });
  server.Get("/cabinet", [this](const httplib::Request& req, httplib::Response& res) { Cabinet(req, res); });
}

void AccountApi::Ticket(const httplib::Request& req, httplib::Response& res) {
  std::string login;
  Account account;
  if (!CheckCredentials(site_, req, res, login, account)) return;
  const std::string ticket = NewTicket();
  if (ticket.empty()) return AnswerJson(res, 500, Json{{"error", "no randomness"}});
  {
    std::lock_guard guard(ticketsLock_);
    const auto now = Clock::now();
    std::erase_if(tickets_, [now](const auto& t) { return t.second.expires <= now; });
    tickets_[ticket] = Issued{login, now + ticketTtl_};
  }
  AnswerJson(res, 200, Json{{"ticket", ticket}});
}

std::string AccountApi::RedeemTicket(const std::string& ticket) {
  std::string login;
  std::lock_guard guard(ticketsLock_);
  const auto it = tickets_.find(ticket);
  if (it != tickets_.end()) {
    if (it->second.expires > Clock::now()) login = it->second.login;
    tickets_.erase(it);
  }
  return login;
}

void AccountApi::Cabinet(const httplib::Request& req, httplib::Response& res) {
  const std::string login = RedeemTicket(QueryValue(req.target, "t"));
  const std::string type = "text/html; charset=utf-8";
  if (login.empty()) {
    return Answer(res, 403, type,
                  HtmlPage("Вход не выполнен", "<p>Ссылка для входа недействительна или устарела. Откройте кабинет "
                                               "из лаунчера ещё раз.</p>\n"));
  }
  Answer(res, 200, type,
         HtmlPage("Личный кабинет", "<p>Аккаунт: <b id=\"login\">" + HtmlEscape(login) + "</b></p>\n"));
}

}  // namespace tarn::tools

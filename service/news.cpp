#include "service/news.h"

#include <array>
#include <utility>
#include <vector>

#include "bridge/host_slots.h"
#include "bridge/text.h"
#include "service/account_commands.h"
#include "service/account_store.h"
#include "service/call.h"
#include "service/json_fragment.h"

namespace tarn {
namespace {

// The operator's outside addresses behind the page's "link.open" keys.
constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kLinks{{
    {"site", "https://tarn.example/"},
    {"forum", "https://forum.tarn.example/"},
    {"tg", "https://t.me/tarn_example"},
    {"ds", "https://discord.gg/tarn-example"},
}};

}  // namespace

std::string CabinetAddress(LauncherContext& ctx, std::string_view ticket) {
  return ServiceUrlText(ServiceEndpointInUse(ctx)) + "/cabinet?t=" + std::string(ticket);
}

std::string NewsEvent(LauncherContext& ctx) {
  std::string response;
  uint32_t status = 0;
  const bool ok = HttpCall(ctx, "GET", "/api/news", {}, response, status);
  const std::string news = ok && status == 200 ? ServiceFragmentOrEmptyList(JsonField(response, "news")) : "[]";
  return R"({"news":)" + news + '}';
}

void PushNews(LauncherContext& ctx) { PostToUi(ctx, NewsEvent(ctx)); }

void OpenCabinet(AccountsContext& ctx, const std::string& login) {
  if (HasControlCharacter(login)) return;
  // The first stored account of that login decides, as for the game.
  const WipedAccounts accounts(LoadAccounts(ctx));
  const std::string& password = PasswordFor(accounts.list, login);
  if (password.empty()) return;
  std::string response;
  uint32_t status = 0;
  if (!AskService(ctx, "/api/ticket", AuthRequestBody(login, password), response, status) || status != 200) return;
  const std::string ticket = SanitizeUtf8(JsonField(response, "ticket"));
  if (ticket.empty()) return;
  ShellOpen(ctx, CabinetAddress(ctx, ticket));
}

std::string_view LinkTarget(std::string_view key) {
  for (const auto& [name, target] : kLinks)
    if (name == key) return target;
  return {};
}

}  // namespace tarn

#include "service/news.h"

#include <vector>

#include "bridge/dispatch.h"
#include "bridge/host_slots.h"
#include "bridge/text.h"
#include "service/account_commands.h"
#include "service/account_store.h"
#include "service/call.h"
#include "service/json_fragment.h"

namespace tarn {

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

void OpenCabinet(LauncherContext& ctx, const std::string& login) {
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

}  // namespace tarn

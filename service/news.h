#pragma once
// News from the operator's service and the web cabinet opened with a
// one-time ticket. Both block on the network and run as background tasks.
#include <string>
#include <string_view>

#include "bridge/context.h"
#include "service/account_store.h"

namespace tarn {

// Fetches the news: {"news":V}, the service's "news" value when the
// request passed and it is a JSON array or object, else [].
std::string NewsEvent(LauncherContext& ctx);

// Posts NewsEvent.
void PushNews(LauncherContext& ctx);

// Asks the service for a ticket with this login's stored password and hands
// the cabinet address to the desktop's browser. Ends silently on any
// failure: unknown login, no stored password, refusal, no ticket.
void OpenCabinet(AccountsContext& ctx, const std::string& login);

// The cabinet page on the service endpoint for a ticket, which is appended
// exactly as received.
std::string CabinetAddress(LauncherContext& ctx, std::string_view ticket);

// The operator's outside address behind a "link.open" key; empty for an
// unknown key.
std::string_view LinkTarget(std::string_view key);

}  // namespace tarn

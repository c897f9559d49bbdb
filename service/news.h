#pragma once
// News from the operator's service and the web cabinet opened with a
// one-time ticket.
#include <string>

namespace tarn {

// Fetches the news and posts the "news" Event.
void PushNews();

// Asks the service for a ticket for this login and opens the cabinet page
// in the default browser.
void OpenCabinet(const std::string& login);

}  // namespace tarn

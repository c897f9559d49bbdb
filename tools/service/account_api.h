#pragma once
// The account service: sign-in, one-time cabinet tickets and the cabinet
// page, and the news, all read from the site folder.
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

namespace tarn::tools {

class AccountApi {
 public:
  AccountApi(std::filesystem::path site, double ticketTtlSeconds);
  // POST /api/auth, POST /api/ticket, GET /cabinet, GET /api/news.
  void Route(httplib::Server& server);

 private:
  void Ticket(const httplib::Request& req, httplib::Response& res);
  void Cabinet(const httplib::Request& req, httplib::Response& res);
  // The login a cabinet ticket was issued to, or empty. A ticket opens the
  // cabinet once; whatever the outcome, it is gone.
  std::string RedeemTicket(const std::string& ticket);

  struct Issued {
    std::string login;
    std::chrono::steady_clock::time_point expires;
  };

  const std::filesystem::path site_;
  const std::chrono::steady_clock::duration ticketTtl_;
  std::mutex ticketsLock_;
  std::map<std::string, Issued> tickets_;
};

}  // namespace tarn::tools

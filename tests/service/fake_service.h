#pragma once
// A scriptable stand-in for the operator's account, news and ticket
// services on the service port. Unlike the reference service it can give
// the answers a faulty service gives: "roles" that are not a list, news
// without its key, statuses on demand.
#include <map>
#include <mutex>
#include <string>

#include "bridge/service_endpoint.h"
#include "bridge/text.h"
#include "service/http.h"
#include "support/http_server.h"

namespace tarn::test {

struct FakeAccount {
  std::string password;
  std::string authBody;  // the 200 answer to a check; "roles" lives here
};

class FakeService {
 public:
  FakeService() : server_([this](const SeenRequest& r) { return Answer(r); }, kDefaultServicePort) {}

  bool listening() const { return server_.listening(); }
  std::vector<SeenRequest> requests() const { return server_.requests(); }
  std::vector<SeenRequest> requests(std::string_view target) const {
    std::vector<SeenRequest> out;
    for (const SeenRequest& r : server_.requests())
      if (r.target == target) out.push_back(r);
    return out;
  }

  void SetAccount(const std::string& login, const std::string& password, const std::string& authBody) {
    std::lock_guard lock(mutex_);
    accounts_[login] = {password, authBody};
  }
  void SetNews(int status, const std::string& body) {
    std::lock_guard lock(mutex_);
    newsStatus_ = status;
    newsBody_ = body;
  }
  void SetTicket(int status, const std::string& body) {
    std::lock_guard lock(mutex_);
    ticketStatus_ = status;
    ticketBody_ = body;
  }

 private:
  // Credentials are compared decoded, as any JSON-reading service would.
  bool Valid(const SeenRequest& r, FakeAccount& account) {
    const auto it = accounts_.find(JsonString(r.body, "login"));
    if (it == accounts_.end() || it->second.password != JsonString(r.body, "password")) return false;
    account = it->second;
    return true;
  }

  test::Answer Answer(const SeenRequest& r) {
    std::lock_guard lock(mutex_);
    FakeAccount account;
    if (r.target == "/api/auth") return Valid(r, account) ? Reply(200, account.authBody) : Reply(401, R"({"error":"no"})");
    if (r.target == "/api/ticket") return Valid(r, account) ? Reply(ticketStatus_, ticketBody_) : Reply(403, "{}");
    if (r.target == "/api/news") return Reply(newsStatus_, newsBody_);
    return Reply(404, "");
  }

  std::mutex mutex_;
  std::map<std::string, FakeAccount> accounts_;
  int newsStatus_ = 200;
  std::string newsBody_ = R"({"news":[]})";
  int ticketStatus_ = 200;
  std::string ticketBody_ = R"({"ticket":"t1"})";
  LoopbackServer server_;  // last: it calls back into the members above
};

}  // namespace tarn::test

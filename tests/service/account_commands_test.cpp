// The account, news and cabinet commands against a scripted service on a
// free port, with the real store in a temporary folder. Commands go in
// through Dispatch where the page's payload matters.
#include "service/account_commands.h"

#include <gtest/gtest.h>

#include "bridge/context.h"
#include "bridge/dispatch.h"
#include "bridge/tasks.h"
#include "bridge/text.h"
#include "fake_service.h"
#include "service/account_store.h"
#include "service/news.h"
#include "store_fixture.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

using test::ReadFile;
using V = std::vector<std::string>;

constexpr char kAdded[] = R"({"screen":"acc","toast":{"kind":"ok","text":"Аккаунт добавлен"}})";
constexpr char kRejected[] = R"({"toast":{"kind":"error","text":"Неверный логин или пароль"}})";


class Commands : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_TRUE(service_.listening());
    UseService(service_.port());
  }
  void Run(const std::string& command) {
    Dispatch(launcher, command);
    WaitForTasks(ctx.tasks);
  }
  test::FakeService service_;
};

TEST_F(Commands, RefreshWithNoAccountsAsksNothing) {
  Run("accounts.refresh");
  EXPECT_EQ(Events(), V{R"({"accounts":[]})"});
  EXPECT_TRUE(service_.requests().empty());
}

TEST_F(Commands, RefreshShowsEachAccountsCharactersOrAnEmptyList) {
  const std::string roles = R"([ {"name": "Лучник", "lvl":12}, {"lvl":3,"name":"Маг"} ])";
  service_.SetAccount("good", "pw", R"({"roles":)" + roles + "}");
  service_.SetAccount("noroles", "pw", R"({"ok":true})");
  service_.SetAccount("stringroles", "pw", R"({"roles":"Лучник"})");
  service_.SetAccount("brokenroles", "pw", R"({"roles":[{],"x":1})");
  service_.SetAccount("quote\"d", "pw", R"({"roles":[]})");
  ASSERT_TRUE(SaveAccounts(launcher.accounts, {{"good", "pw"},
                                 {"wrongpw", "nope"},
                                 {"noroles", "pw"},
                                 {"stringroles", "pw"},
                                 {"brokenroles", "pw"},
                                 {"quote\"d", "pw"},
                                 {"emptypw", ""}}));
  Run("accounts.refresh");
  EXPECT_EQ(Events(), V{R"({"accounts":[{"login":"good","chars":)" + roles +
                        R"(},{"login":"wrongpw","chars":[]},{"login":"noroles","chars":[]},)"
                        R"({"login":"stringroles","chars":[]},{"login":"brokenroles","chars":[]},)"
                        R"({"login":"quote\"d","chars":[]},{"login":"emptypw","chars":[]}]})"});
  // One check per account, in store order, each asking for characters;
  // the account without a password is checked too.
  const auto checks = service_.requests("/api/auth");
  ASSERT_EQ(checks.size(), 7u);
  EXPECT_EQ(checks[0].body, R"({"login":"good","password":"pw","fresh":true})");
  EXPECT_EQ(checks[5].body, R"({"login":"quote\"d","password":"pw","fresh":true})");
  EXPECT_EQ(checks[6].body, R"({"login":"emptypw","password":"","fresh":true})");
}

TEST_F(Commands, AddStoresACheckedAccountAndReportsAfterTheList) {
  service_.SetAccount("new", "pw", R"({"roles":["Воин"]})");
  Run("account.add\n{\"login\":\"new\",\"password\":\"pw\"}");
  EXPECT_EQ(Events(), (V{R"({"accounts":[{"login":"new","chars":["Воин"]}]})", kAdded}));
  EXPECT_EQ(LoadAccounts(launcher.accounts), (std::vector<Account>{{"new", "pw"}}));
  const auto checks = service_.requests("/api/auth");
  ASSERT_EQ(checks.size(), 2u);
  EXPECT_EQ(checks[0].body, R"({"login":"new","password":"pw"})") << "the add check asks for no characters";
}

TEST_F(Commands, AddRefusedByTheServiceOrUnstorableStoresNothing) {
  service_.SetAccount("known", "right", "{}");
  Run("account.add\n{\"login\":\"known\",\"password\":\"wrong\"}");
  Run("account.add\n{\"login\":\"stranger\",\"password\":\"x\"}");
  // A login the file could not give back faithfully never reaches the
  // service at all.
  service_.SetAccount("tab\there", "pw", "{}");
  service_.SetAccount("line\nbreak", "pw", "{}");
  Run("account.add\n{\"login\":\"tab\\there\",\"password\":\"pw\"}");
  Run("account.add\n{\"login\":\"line\\nbreak\",\"password\":\"pw\"}");
  Run("account.add\n{\"password\":\"pw\"}");
  EXPECT_EQ(Events(), V(5, kRejected));
  EXPECT_EQ(service_.requests().size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(AccountsFile()));
}

TEST_F(Commands, ControlCharactersInAPayloadAreRefusedBeforeAnythingIsStoredOrSent) {
  // Decoded from their escapes, a NUL or another control character would
  // cut a stored line or the game's command line short.
  for (const char* login : {"nul\\u0000login", "bell\\u0007", "del\\u007f"}) {
    service_.SetAccount(JsonUnescape(login), "pw", "{}");
    Run(std::string("account.add\n{\"login\":\"") + login + "\",\"password\":\"pw\"}");
  }
  service_.SetAccount("fine", std::string("p\0w", 3), "{}");
  Run("account.add\n{\"login\":\"fine\",\"password\":\"p\\u0000w\"}");
  Run("account.add\n{\"login\":\"fine\",\"password\":\"tab\\tin\"}");
  EXPECT_EQ(Events(), V(5, kRejected));
  EXPECT_TRUE(service_.requests().empty());
  EXPECT_FALSE(std::filesystem::exists(AccountsFile()));

  // Removal and the cabinet do nothing at all for such a login, not even
  // when a stored login would match up to the NUL.
  ASSERT_TRUE(SaveAccounts(launcher.accounts, {{"dup", "pw"}}));
  service_.SetAccount("dup", "pw", "{}");
  const std::string before = ReadFile(AccountsFile());
  Run("account.remove\n{\"login\":\"dup\\u0000\"}");
  Run("cabinet.open\n{\"login\":\"dup\\u0000x\"}");
  EXPECT_EQ(ReadFile(AccountsFile()), before);
  EXPECT_EQ(Events().size(), 5u);
  EXPECT_TRUE(service_.requests().empty());
  EXPECT_TRUE(recorder_->Opened().empty());
}

TEST_F(Commands, AddReplacesThePasswordOfEveryEntryOfThatLogin) {
  service_.SetAccount("twice", "new", "{}");
  ASSERT_TRUE(SaveAccounts(launcher.accounts, {{"twice", "old1"}, {"other", "o"}, {"twice", "old2"}}));
  Run("account.add\n{\"login\":\"twice\",\"password\":\"new\"}");
  EXPECT_EQ(LoadAccounts(launcher.accounts), (std::vector<Account>{{"twice", "new"}, {"other", "o"}, {"twice", "new"}}));
  EXPECT_EQ(Events().back(), kAdded);
  // Logins compare exactly: another case is another account.
  service_.SetAccount("TWICE", "x", "{}");
  Run("account.add\n{\"login\":\"TWICE\",\"password\":\"x\"}");
  EXPECT_EQ(LoadAccounts(launcher.accounts).size(), 4u);
}

TEST_F(Commands, RemoveTakesEveryEntryAndAnUnknownLoginChangesNothing) {
  ASSERT_TRUE(SaveAccounts(launcher.accounts, {{"dup", "1"}, {"keep", "2"}, {"dup", "3"}}));
  Run("account.remove\n{\"login\":\"dup\"}");
  EXPECT_EQ(LoadAccounts(launcher.accounts), (std::vector<Account>{{"keep", "2"}}));
  const std::string before = ReadFile(AccountsFile());
  Run("account.remove\n{\"login\":\"KEEP\"}");
  EXPECT_EQ(ReadFile(AccountsFile()), before);
  // Each removal posts the list again and nothing else.
  EXPECT_EQ(Events(), (V{R"({"accounts":[{"login":"keep","chars":[]}]})",
                         R"({"accounts":[{"login":"keep","chars":[]}]})"}));
}

TEST_F(Commands, AwkwardPasswordsTravelFromPageToStoreToServiceUnchanged) {
  const std::string password = "a\"b\\c Пароль !";
  const std::string login = "Игрок \"1\"";
  service_.SetAccount(login, password, R"({"roles":[]})");
  Run("account.add\n{\"login\":\"" + JsonEscape(login) + "\",\"password\":\"" + JsonEscape(password) + "\"}");
  ASSERT_EQ(Events().back(), kAdded);
  EXPECT_EQ(LoadAccounts(launcher.accounts), (std::vector<Account>{{login, password}}));
  // The refresh that followed passed the service's own decoding too.
  EXPECT_EQ(Events()[0], R"({"accounts":[{"login":"Игрок \"1\"","chars":[]}]})");
  EXPECT_EQ(service_.requests("/api/auth").back().body,
            R"({"login":"Игрок \"1\"","password":"a\"b\\c Пароль !","fresh":true})");
}

TEST_F(Commands, AnAccountThatCannotBeSavedIsNotReportedAsAdded) {
  service_.SetAccount("a", "pw", "{}");
  std::filesystem::create_directories(KeyFile().parent_path());
  test::WriteFile(KeyFile(), "not a key");
  Run("account.add\n{\"login\":\"a\",\"password\":\"pw\"}");
  EXPECT_EQ(Events(), (V{R"({"accounts":[]})", R"({"toast":{"kind":"error","text":"Не удалось сохранить аккаунт"}})"}));
}

TEST_F(Commands, NewsIsPassedOnVerbatimOrAsAnEmptyList) {
  const std::string news = R"([ {"title":"Обновление", "date":"2026-12-01"},{"body":"a\"b"} ])";
  const std::vector<std::pair<std::pair<int, std::string>, std::string>> cases = {
      {{200, R"({"news":)" + news + "}"}, news},
      {{200, R"({"news":{"pinned":true}})"}, R"({"pinned":true})"},
      {{200, R"({"other":1})"}, "[]"},
      {{200, R"({"news":"text"})"}, "[]"},
      {{200, R"({"news":[{]})"}, "[]"},
      {{500, R"({"news":[1]})"}, "[]"},
  };
  for (const auto& [answer, expected] : cases) {
    service_.SetNews(answer.first, answer.second);
    {
      std::lock_guard lock(recorder_->mutex);
      recorder_->events.clear();
    }
    PushNews(ctx);
    EXPECT_EQ(Events(), V{R"({"news":)" + expected + "}"}) << answer.second;
  }
  const auto asked = service_.requests("/api/news");
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked[0].method, "GET");
}

TEST_F(Commands, CabinetOpensWithTheTicketAsReceived) {
  service_.SetAccount("p", "first", "{}");
  service_.SetTicket(200, R"({"ticket":"a b&c=d%20"})");
  ASSERT_TRUE(SaveAccounts(launcher.accounts, {{"p", "first"}, {"p", "second"}}));
  Run("cabinet.open\n{\"login\":\"p\"}");
  EXPECT_EQ(recorder_->Opened(), V{"http://127.0.0.1:" + std::to_string(service_.port()) + "/cabinet?t=a b&c=d%20"});
  const auto asked = service_.requests("/api/ticket");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].body, R"({"login":"p","password":"first"})");
  EXPECT_TRUE(Events().empty());
}

TEST_F(Commands, CabinetEndsSilentlyOnEveryFailure) {
  ASSERT_TRUE(SaveAccounts(launcher.accounts, {{"nopw", ""}, {"p", "pw"}}));
  service_.SetAccount("p", "pw", "{}");
  Run("cabinet.open\n{\"login\":\"unknown\"}");
  Run("cabinet.open\n{\"login\":\"nopw\"}");
  EXPECT_TRUE(service_.requests().empty()) << "no request without a stored password";
  for (const auto& [status, body] : std::vector<std::pair<int, std::string>>{
           {500, R"({"ticket":"t"})"}, {200, R"({"nothing":1})"}, {200, R"({"ticket":""})"}}) {
    service_.SetTicket(status, body);
    Run("cabinet.open\n{\"login\":\"p\"}");
  }
  EXPECT_EQ(service_.requests("/api/ticket").size(), 3u);
  EXPECT_TRUE(recorder_->Opened().empty());
  EXPECT_TRUE(Events().empty());
}

}  // namespace
}  // namespace tarn

// The account, news and cabinet commands end to end: the headless launcher
// in a folder of its own, scripted like a page, against the reference
// service.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "bridge/text.h"
#include "platform/http.h"
#include "platform/unicode.h"
#include "service/account_store.h"
#include "service/call.h"
#include "support/launcher.h"
#include "support/run_program.h"
#include "support/service_launcher.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::ScriptLine;
using V = std::vector<std::string>;

constexpr char kAdded[] = R"({"screen":"acc","toast":{"kind":"ok","text":"Аккаунт добавлен"}})";
constexpr char kRejected[] = R"({"toast":{"kind":"error","text":"Неверный логин или пароль"}})";

// A login and password with everything that has to survive two layers of
// JSON escaping and the store: quotes, backslashes, Cyrillic, a space.
const std::string kLogin = "Игрок \"1\"";
const std::string kPassword = "a\"b\\c пароль";
const std::string kRoles = R"([{"level":12,"name":"Лучник"}])";
const std::string kNews = R"([ {"title":"Осада", "text":"в субботу"},{"title":"Патч"} ])";

#ifndef _WIN32
int Mode(const fs::path& p) {
  struct stat st{};
  return stat(p.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}
#endif

std::string Payload(const std::string& login, const std::string& password) {
  return "{\"login\":\"" + JsonEscape(login) + "\",\"password\":\"" + JsonEscape(password) + "\"}";
}

class AccountsEndToEnd : public test::ServiceLauncherTest {
 protected:
  void SetUp() override {
    PlaceLauncher();
    fs::create_directories(site_ / "client");
    test::WriteFile(site_ / "accounts.json", R"({"accounts":[{"login":")" + JsonEscape(kLogin) + R"(","password":")" +
                                                 JsonEscape(kPassword) + R"(","roles":)" + kRoles +
                                                 R"(},{"login":"demo","password":"demo","roles":["Воин"]}]})");
    test::WriteFile(site_ / "news.json", R"({"news":)" + kNews + "}");
    UseUser("user-a");
  }
#ifdef _WIN32
  // The system's data protection binds the passwords to the one Wine user.
  void UseUser(const std::string& name) { keyHome_ = root_.path() / name; }
#else
  void TearDown() override {
    unsetenv("XDG_DATA_HOME");
    ServiceLauncherTest::TearDown();
  }

  // The launcher runs as this OS user: its key lives in that user's folder.
  void UseUser(const std::string& name) {
    keyHome_ = root_.path() / name;
    setenv("XDG_DATA_HOME", keyHome_.c_str(), 1);
  }
#endif

  // The Events and host lines this feature produces, in order; Events of
  // other subsystems (the initial push sends more) are left out.
  V Run(const std::string& script) {
    V mine;
    for (const std::string& line : RunScript(script))
      for (const char* prefix : {"{\"accounts\"", "{\"toast\"", "{\"screen\"", "{\"news\"", "{\"host\":{\"open\""})
        if (line.rfind(prefix, 0) == 0) mine.push_back(line);
    return mine;
  }

  fs::path AccountsFile() const { return launcher_ / "data" / "accounts.dat"; }

  // A GET of an address on the service, outside the launcher.
  uint32_t Get(const std::string& address, std::string& body) const {
    const std::string prefix = service_.Url("");
    HttpRequest request;
    request.host = "127.0.0.1";
    request.port = static_cast<uint16_t>(service_.port());
    request.method = "GET";
    request.target = address.substr(prefix.size());
    HttpSink sink;
    sink.body = [&](std::string_view b) {
      body.append(b);
      return true;
    };
    return SendHttpRequest(request, sink).status;
  }

  fs::path keyHome_;
};

TEST_F(AccountsEndToEnd, AddRefreshCabinetRemoveAndNews) {
  ASSERT_NO_FATAL_FAILURE(StartService());

  const V lines = Run(ScriptLine("account.add\n" + Payload(kLogin, "wrong")) + ":wait\n" +
                      ScriptLine("account.add\n" + Payload(kLogin, kPassword)) + ":wait\n" +
                      ScriptLine("account.add\n" + Payload("demo", "demo")) + ":wait\n" +
                      ScriptLine("cabinet.open\n{\"login\":\"" + JsonEscape(kLogin) + "\"}") + ":wait\n" +
                      ScriptLine("account.remove\n{\"login\":\"demo\"}") + ":wait\n" + ScriptLine("ui.ready") +
                      ":wait\n");
  const std::string first = R"({"login":")" + JsonEscape(kLogin) + R"(","chars":)" + kRoles + "}";
  ASSERT_EQ(lines.size(), 8u) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines[0], kRejected);
  EXPECT_EQ(lines[1], R"({"accounts":[)" + first + "]}");
  EXPECT_EQ(lines[2], kAdded);
  EXPECT_EQ(lines[3], R"({"accounts":[)" + first + R"(,{"login":"demo","chars":["Воин"]}]})");
  EXPECT_EQ(lines[4], kAdded);
  EXPECT_EQ(lines[6], R"({"accounts":[)" + first + "]}");
  EXPECT_EQ(lines[7], R"({"news":)" + kNews + "}") << "the news arrive character for character";

  // The cabinet address names the service endpoint and a fresh ticket,
  // which the service honours once.
  std::smatch m;
  const std::regex open(R"re(\{"host":\{"open":"(http://127\.0\.0\.1:)re" + std::to_string(service_.port()) +
                        R"re(/cabinet\?t=[0-9a-f]{32})","params":""\}\})re");
  ASSERT_TRUE(std::regex_match(lines[5], m, open)) << lines[5];
  std::string page;
  EXPECT_EQ(Get(m[1].str(), page), 200u);
  EXPECT_NE(page.find("Игрок"), std::string::npos) << page;
  page.clear();
  EXPECT_EQ(Get(m[1].str(), page), 403u);

  // What is left on disk: the one account, readable by its owner only,
  // with the password the service accepted.
#ifndef _WIN32
  EXPECT_EQ(Mode(AccountsFile()), 0600);
  EXPECT_EQ(Mode(keyHome_ / "tarn-launcher" / "user.key"), 0600);
  EXPECT_EQ(Mode(keyHome_ / "tarn-launcher"), 0700);
#endif
  const std::string bytes = test::ReadFile(AccountsFile());
  EXPECT_EQ(bytes.rfind(kLogin + "\t", 0), 0u);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 1);
  EXPECT_EQ(bytes.find("пароль"), std::string::npos);
}

TEST_F(AccountsEndToEnd, ServiceDownOrFailingGivesEmptyListsAndNoCabinet) {
  // A stored account from an earlier run, sealed for this user.
  InstallHostSlots(
      ctx, {.post = {}, .open = {}, .pickFolder = {}, .dataFolder = test::PathUtf8(AccountsFile().parent_path())});
  fs::create_directories(AccountsFile().parent_path());
  ASSERT_TRUE(SaveAccounts(launcher.accounts, {{"demo", "demo"}}));
  InstallHostSlots(ctx, {});

  const std::string script = ScriptLine("accounts.refresh") + ":wait\n" + ScriptLine("ui.ready") + ":wait\n" +
                             ScriptLine("account.add\n" + Payload("demo", "demo")) + ":wait\n" +
                             ScriptLine("cabinet.open\n{\"login\":\"demo\"}") + ":wait\n";
  const V down = {R"({"accounts":[{"login":"demo","chars":[]}]})", R"({"news":[]})", kRejected};
  EXPECT_EQ(Run(script), down) << "no service at all";

  ASSERT_NO_FATAL_FAILURE(StartService({"--status", "/api/news=503", "--status", "/api/auth=500", "--status", "/api/ticket=500"}));
  EXPECT_EQ(Run(script), down) << "every request answered with an error";
  const std::string bytes = test::ReadFile(AccountsFile());
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 1) << "nothing stored by the refused add";
}

TEST_F(AccountsEndToEnd, AFileFromAnotherUserKeepsLoginsButAsksNoTicket) {
#ifdef _WIN32
  GTEST_SKIP() << "Wine has one user; the data protection's user binding is covered by the platform tests";
#endif
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_EQ(Run(ScriptLine("account.add\n" + Payload("demo", "demo")) + ":wait\n").back(), kAdded);

  UseUser("user-b");
  const V lines = Run(ScriptLine("accounts.refresh") + ":wait\n" + ScriptLine("cabinet.open\n{\"login\":\"demo\"}") +
                      ":wait\n");
  // The password could not be opened: the check fails, the login stays.
  EXPECT_EQ(lines, V{R"({"accounts":[{"login":"demo","chars":[]}]})"});
  size_t tickets = 0;
  for (const test::AccessEntry& e : service_.AccessLog()) tickets += e.target == "/api/ticket";
  EXPECT_EQ(tickets, 0u);
}

TEST_F(AccountsEndToEnd, ACrowdedOrDamagedFileAsksTheServiceOncePerAccountForTheFirst64) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  // One login three times, 20,000 more, then a megabyte of noise.
  std::string text = "demo\tzz\r\ndemo\tzz\r\ndemo\tzz\r\n";
  for (int i = 0; i < 20000; ++i) text += "u" + std::to_string(i) + "\tzz\r\n";
  for (uint32_t i = 0; i < (1u << 20); ++i) text += static_cast<char>(i * 7919u % 251u);
  fs::create_directories(AccountsFile().parent_path());
  test::WriteFile(AccountsFile(), text);

  const V lines = Run(ScriptLine("accounts.refresh") + ":wait\n" +
                      ScriptLine("account.add\n" + Payload(kLogin, kPassword)) + ":wait\n" +
                      ScriptLine("account.remove\n{\"login\":\"demo\"}") + ":wait\n");
  ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
  std::string expected = R"({"accounts":[)";
  for (int i = 0; i < 3; ++i) expected += R"({"login":"demo","chars":[]},)";
  for (int i = 0; i < 61; ++i) expected += R"({"login":"u)" + std::to_string(i) + R"(","chars":[]})" + (i < 60 ? "," : "");
  EXPECT_EQ(lines[0], expected + "]}");
  EXPECT_EQ(lines[1], R"({"toast":{"kind":"error","text":"Аккаунтов уже 64 — удалите ненужный, чтобы добавить новый"}})");
  EXPECT_EQ(lines[2].rfind(R"({"accounts":[{"login":"u0","chars":[]},)", 0), 0u);
  size_t asked = 0;
  for (const test::AccessEntry& e : service_.AccessLog()) asked += e.target == "/api/auth";
  EXPECT_EQ(asked, 62u + 1 + 61);  // each login once per refresh, and the add's own check
  // The next write kept the accounts that were read, and nothing else.
  const std::string bytes = test::ReadFile(AccountsFile());
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 61);
  EXPECT_EQ(bytes.rfind("u0\tzz\r\n", 0), 0u);
  const std::u16string log = test::LogUnits(test::ReadFile(launcher_ / "launcher.log"));
  EXPECT_NE(log.find(u"больше 256 КиБ — файл повреждён"), std::u16string::npos);
  EXPECT_NE(log.find(u"больше 64 аккаунтов"), std::u16string::npos);
}

// A service that sends the login elsewhere: nothing follows it, the player
// hears of a refusal, and the log says once where the answer pointed.
TEST_F(AccountsEndToEnd, ARedirectIsRefusedAndToldOnceInTheLog) {
  ASSERT_NO_FATAL_FAILURE(StartService({"--redirect", "/api/auth=9"}));
  const std::string add = ScriptLine("account.add\n" + Payload("demo", "demo")) + ":wait\n";
  const V lines = Run(add + add);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kRejected), 2) << ::testing::PrintToString(lines);
  const std::u16string log = test::LogUnits(test::ReadFile(launcher_ / "launcher.log"));
  const std::u16string line = Utf8ToWide("служба http://127.0.0.1:" + std::to_string(service_.port()) +
                                        ": ответ 307 переадресует на http://127.0.0.1:9; переадресации не выполняются");
  const size_t at = log.find(line);
  ASSERT_NE(at, std::u16string::npos);
  EXPECT_EQ(log.find(line, at + 1), std::u16string::npos) << "told twice";
  EXPECT_EQ(log.find(u"demo"), std::u16string::npos) << "the login or password reached the log";
}

TEST_F(AccountsEndToEnd, HttpCallKeepsWhatARealServiceSentBeforeItHungUp) {
  std::string content;
  for (int i = 0; i < 5000; ++i) content += static_cast<char>('a' + i % 26);
  test::WriteFile(site_ / "client" / "data.bin", content);
  ASSERT_NO_FATAL_FAILURE(StartService({"--cut-after", "1000*1"}));
  PointInProcessCode();

  std::string body;
  uint32_t status = 0;
  EXPECT_TRUE(HttpCall(ctx, "GET", test::FileTarget("data.bin"), {}, body, status));
  EXPECT_EQ(status, 200u);
  EXPECT_EQ(body, content.substr(0, 1000));
  // The fault was for one answer only: the next one is whole.
  EXPECT_TRUE(HttpCall(ctx, "GET", test::FileTarget("data.bin"), {}, body, status));
  EXPECT_EQ(body, content);
  EXPECT_TRUE(HttpCall(ctx, "GET", "/no/such/path", {}, body, status));
  EXPECT_EQ(status, 404u);
}

}  // namespace
}  // namespace tarn

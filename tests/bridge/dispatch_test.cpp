#include "bridge/dispatch.h"
#include "wiring/wiring.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/host_slots.h"
#include "bridge/install_state.h"
#include "bridge/log.h"
#include "bridge/tasks.h"
#include "platform/shell.h"

namespace tarn {
namespace {

// Every call that reaches a worker or the desktop, in arrival order.
struct Calls {
  std::mutex mutex;
  std::vector<std::string> list;
  bool clientInstalled = false;
  std::string clientDir;
  std::vector<Account> accounts;
  std::vector<const char*> loadedPasswords;  // where the texts handed out by loadAccounts live
  const char* launchedPassword = nullptr;
  std::thread::id dispatcher = std::this_thread::get_id();  // the thread that calls Dispatch

  void Add(std::string call) {
    std::lock_guard lock(mutex);
    list.push_back(std::move(call));
  }
};

Calls* calls = nullptr;

Workers Recording() {
  return Workers{
      .pushAccounts = [](LauncherContext&) { calls->Add("pushAccounts"); },
      .addAccount = [](LauncherContext&, const std::string& l,
                       const std::string& p) { calls->Add("addAccount|" + l + "|" + p); },
      .removeAccount = [](LauncherContext&, const std::string& l) { calls->Add("removeAccount|" + l); },
      .openCabinet = [](LauncherContext&, const std::string& l) { calls->Add("openCabinet|" + l); },
      .loadAccounts =
          [](LauncherContext&) {
            calls->Add("loadAccounts");
            std::vector<Account> copy = calls->accounts;
            calls->loadedPasswords.clear();
            for (const Account& a : copy) calls->loadedPasswords.push_back(a.password.data());
            return copy;
          },
      .launchGame =
          [](LauncherContext&, const std::string& l, const std::string& p, const std::string& c) {
            calls->launchedPassword = p.data();
            calls->Add("launchGame|" + l + "|" + p + "|" + c);
          },
      .verifyClient = [](LauncherContext&) { calls->Add("verifyClient"); },
      .updateClient = [](LauncherContext&) { calls->Add("updateClient"); },
      .runInstall =
          [](LauncherContext&, InstallFolderSource source) {
            calls->Add(source == InstallFolderSource::Shown    ? "runInstall|shown"
                       : source == InstallFolderSource::Dialog ? "runInstall|pick"
                                                               : "runInstall|saved");
          },
      .findClientDir =
          [](LauncherContext&) {
            calls->Add(std::this_thread::get_id() == calls->dispatcher ? "findClientDir on the window thread"
                                                                        : "findClientDir");
            return calls->clientDir;
          },
      .isClientInstalled =
          [](LauncherContext&) {
            calls->Add("isClientInstalled");
            return calls->clientInstalled;
          },
      .markInstalled = [](LauncherContext&) { calls->Add("markInstalled"); },
      .postInstallEvent = [](LauncherContext&) { calls->Add("postInstallEvent"); },
      .catchUp = [](LauncherContext&) { calls->Add("catchUp"); },
      .pushNews = [](LauncherContext&) { calls->Add("pushNews"); },
      .refreshInstallScreen = [](LauncherContext&) { calls->Add("refreshInstallScreen"); },
      .setSpeedLimit = [](LauncherContext&, const std::string& k) { calls->Add("setSpeedLimit|" + k); },
      .pushSpeedLimit = [](LauncherContext&) { calls->Add("pushSpeedLimit"); },
  };
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    calls = &calls_;
    InstallHostSlots(ctx_,
                     {.post = {},
                      .open = [](const std::string& t, const std::string& p) { calls->Add("open|" + t + "|" + p); },
                      .pickFolder = {},
                      .dataFolder = {}});
    InstallFlags& f = ctx_.installFlags;
    f.installRunning.exchange(false);
    f.pauseRequested.exchange(false);
    f.stopRequested.exchange(false);
  }
  void TearDown() override {
    WaitForTasks(ctx_.tasks);
    InstallHostSlots(ctx_, {});
    calls = nullptr;
  }

  // Dispatches and waits for the tasks the command started.
  std::vector<std::string> Run(std::string_view command) {
    Dispatch(ctx_, command, Recording());
    WaitForTasks(ctx_.tasks);
    std::lock_guard lock(calls_.mutex);
    return std::exchange(calls_.list, {});
  }

  Calls calls_;
  LauncherContext ctx_;
};

using V = std::vector<std::string>;

TEST(SplitCommand, SplitsAtTheFirstLineFeedOnly) {
  EXPECT_EQ(SplitCommand("ui.ready").name, "ui.ready");
  EXPECT_EQ(SplitCommand("ui.ready").payload, "");
  EXPECT_EQ(SplitCommand("ui.ready\n").name, "ui.ready");
  EXPECT_EQ(SplitCommand("ui.ready\n").payload, "");
  EXPECT_EQ(SplitCommand("a\nb\nc").name, "a");
  EXPECT_EQ(SplitCommand("a\nb\nc").payload, "b\nc");
  EXPECT_EQ(SplitCommand("\n{}").name, "");
  EXPECT_EQ(SplitCommand("a\r\n{}").name, "a\r");
}

TEST_F(DispatchTest, NamesMatchWholeExactlyAndCaseSensitively) {
  EXPECT_EQ(Run("client.verify"), V{"verifyClient"});
  EXPECT_EQ(Run("client.verify\n"), V{"verifyClient"});
  EXPECT_EQ(Run("client.verify\r"), V{});
  EXPECT_EQ(Run("Client.Verify"), V{});
  EXPECT_EQ(Run(" client.verify"), V{});
  EXPECT_EQ(Run("client.verif"), V{});
  EXPECT_EQ(Run("client.verify.x"), V{});
  EXPECT_EQ(Run(""), V{});
  EXPECT_EQ(Run("\nclient.verify"), V{});
  // The window commands are served by the host; Dispatch ignores them.
  EXPECT_EQ(Run("window.close"), V{});
  EXPECT_EQ(Run("window.drag"), V{});
  EXPECT_EQ(Run("window.minimize"), V{});
}

TEST_F(DispatchTest, EveryTaskCommandReachesItsWorkerWithItsFields) {
  EXPECT_EQ(Run("accounts.refresh"), V{"pushAccounts"});
  EXPECT_EQ(Run("account.add\n{\"login\":\"ivan\",\"password\":\"secret\"}"), V{"addAccount|ivan|secret"});
  EXPECT_EQ(Run("account.remove\n{\"login\":\"ivan\"}"), V{"removeAccount|ivan"});
  EXPECT_EQ(Run("cabinet.open\n{\"login\":\"ivan\"}"), V{"openCabinet|ivan"});
  EXPECT_EQ(Run("client.verify"), V{"verifyClient"});
  EXPECT_EQ(Run("client.update"), V{"updateClient"});
  EXPECT_EQ(Run("install.begin"), V{"runInstall|shown"});
  EXPECT_EQ(Run("install.folder"), V{"runInstall|pick"});
  EXPECT_EQ(Run("install.resume"), V{"runInstall|saved"});
}

TEST_F(DispatchTest, MissingPayloadOrFieldsGiveEmptyValues) {
  EXPECT_EQ(Run("account.add"), V{"addAccount||"});
  EXPECT_EQ(Run("account.add\nnot json"), V{"addAccount||"});
  EXPECT_EQ(Run("account.add\n{\"login\":\"ivan\"}"), V{"addAccount|ivan|"});
  EXPECT_EQ(Run("account.remove\n{\"login\" : \"ivan\"}"), V{"removeAccount|"});
}

TEST_F(DispatchTest, PayloadEscapesAreDecoded) {
  // The page escapes a quote and a backslash in a password; the worker must
  // see the password the player typed, not its JSON spelling.
  EXPECT_EQ(Run(R"(account.add
{"login":"\u0438\u0432\u0430\u043d","password":"a\"b\\c\/d"})"),
            V{"addAccount|иван|a\"b\\c/d"});
  EXPECT_EQ(Run("account.add\n{\"login\":\"x\",\"password\":\"\\ud83d\\ude00\"}"),
            V{"addAccount|x|\xF0\x9F\x98\x80"});
}

TEST_F(DispatchTest, GameLaunchTakesThePasswordOfTheFirstAccountWithThatLogin) {
  // Passwords long enough to live on the heap, so their addresses tell copies apart.
  const std::string first = "first password of ivan";
  calls_.accounts = {{"Ivan", "upper case login's password"}, {"ivan", first}, {"ivan", "second password of ivan"}};
  EXPECT_EQ(Run("game.launch\n{\"login\":\"ivan\",\"character\":\"Воин\"}"),
            (V{"loadAccounts", "launchGame|ivan|" + first + "|Воин"}));
  // The game gets the loaded text itself: a copy would be one more plain
  // password that nobody wipes.
  ASSERT_EQ(calls_.loadedPasswords.size(), 3u);
  EXPECT_EQ(calls_.launchedPassword, calls_.loadedPasswords[1]);
  EXPECT_EQ(Run("game.launch\n{\"login\":\"nobody\",\"character\":\"x\"}"),
            (V{"loadAccounts", "launchGame|nobody||x"}));
}

TEST_F(DispatchTest, LinkOpenOpensOnlyKnownKeys) {
  for (const char* key : {"site", "forum", "tg", "ds"}) {
    const std::string target(LinkTarget(key));
    ASSERT_EQ(target.rfind("https://", 0), 0u) << key;
    EXPECT_EQ(Run(std::string("link.open\n{\"name\":\"") + key + "\"}"), V{"open|" + target + "|"});
  }
  EXPECT_EQ(Run("link.open\n{\"name\":\"FORUM\"}"), V{});
  EXPECT_EQ(Run("link.open\n{\"name\":\"\"}"), V{});
  EXPECT_EQ(Run("link.open"), V{});
  EXPECT_EQ(Run("link.open\n{\"name\" : \"site\"}"), V{});
}

TEST_F(DispatchTest, OpenClientDirOpensOnlyAFoundFolder) {
  EXPECT_EQ(Run("open.clientdir"), V{"findClientDir"});
  calls_.clientDir = "/games/Тарн";
  EXPECT_EQ(Run("open.clientdir"), (V{"findClientDir", "open|" + FolderTarget("/games/Тарн") + "|"}));
}

TEST_F(DispatchTest, OpenLogShowsTheLogBesideTheProgram) {
  const ShellTarget viewer = TextViewerFor(LogPath());
  EXPECT_EQ(Run("open.log"), V{"open|" + viewer.target + "|" + viewer.params});
}

TEST_F(DispatchTest, InstallFlags) {
  InstallFlags& f = ctx_.installFlags;
  // Pause with no run sets the flag; it has no lasting effect (a run clears it).
  EXPECT_EQ(Run("install.pause"), V{});
  EXPECT_TRUE(f.pauseRequested.load());

  // Stop during a pause: stop set, pause cleared so the install wakes up.
  EXPECT_EQ(Run("install.stop"), V{});
  EXPECT_TRUE(f.stopRequested.load());
  EXPECT_FALSE(f.pauseRequested.load());

  // Resume during a running, paused install wakes it and starts nothing.
  f.installRunning.exchange(true);
  f.pauseRequested.exchange(true);
  EXPECT_EQ(Run("install.resume"), V{});
  EXPECT_FALSE(f.pauseRequested.load());
  EXPECT_TRUE(f.installRunning.load());

  // Resume with no run starts one into the saved folder.
  f.installRunning.exchange(false);
  EXPECT_EQ(Run("install.resume"), V{"runInstall|saved"});

  // Begin and folder always start a run; the engine itself refuses a second one.
  f.installRunning.exchange(true);
  EXPECT_EQ(Run("install.begin"), V{"runInstall|shown"});
}

TEST_F(DispatchTest, InitialPushWithoutAnInstalledClient) {
  EXPECT_EQ(Run("ui.ready"), (V{"isClientInstalled", "pushNews", "refreshInstallScreen", "pushSpeedLimit"}));
  // The limit goes to its worker as the page wrote it; the worker judges it.
  EXPECT_EQ(Run("speed.limit\n{\"kibps\":\"512\"}"), V{"setSpeedLimit|512"});
  EXPECT_EQ(Run("speed.limit\n{\"kibps\": \"\"}"), V{"setSpeedLimit|"});
  EXPECT_EQ(Run("speed.limit\n{\"kibps\":0}"), V{"setSpeedLimit|0"});
  // Without the field there is nothing to apply: the limit in force stays.
  for (const char* kept : {"speed.limit", "speed.limit\n", "speed.limit\n{}", "speed.limit\n{\"kbps\":\"0\"}",
                           "speed.limit\n{\"kibps\":\"", "speed.limit\nnot json"})
    EXPECT_EQ(Run(kept), V{}) << kept;
}

TEST_F(DispatchTest, InitialPushWithAnInstalledClient) {
  calls_.clientInstalled = true;
  {
    std::lock_guard lock(ctx_.install.lock);
    ctx_.install.state.stage = InstallStage::Unknown;
  }
  EXPECT_EQ(Run("ui.ready\n"), (V{"isClientInstalled", "markInstalled", "postInstallEvent", "catchUp",
                                  "pushSpeedLimit"}));
  // The real worker behind "markInstalled" is what sets the stage.
  RealWorkers().markInstalled(ctx_);
  std::lock_guard lock(ctx_.install.lock);
  EXPECT_EQ(ctx_.install.state.stage, InstallStage::Installed);
}

TEST(PasswordFor, ExactLoginOnly) {
  const std::vector<Account> accounts{{"a", "1"}, {"A", "2"}, {"a ", "3"}};
  EXPECT_EQ(PasswordFor(accounts, "a"), "1");
  EXPECT_EQ(PasswordFor(accounts, "A"), "2");
  EXPECT_EQ(PasswordFor(accounts, "b"), "");
  EXPECT_EQ(PasswordFor({}, ""), "");
}

}  // namespace
}  // namespace tarn

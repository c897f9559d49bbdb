// Account commands issued all at once, as a player clicking fast (or a
// page resending) would: every change must survive, whatever the order in
// which the tasks load and save.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "bridge/context.h"
#include "bridge/dispatch.h"
#include "bridge/tasks.h"
#include "fake_service.h"
#include "platform/secret_store.h"
#include "service/account_store.h"
#include "store_fixture.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

class ConcurrentAccounts : public test::StoreTest {};

TEST_F(ConcurrentAccounts, ManyCommandsAtOnceLoseNothing) {
  test::FakeService service;
  ASSERT_TRUE(service.listening());
  UseService(service.port());
  constexpr int kAdds = 12;
  std::vector<Account> initial;
  for (int i = 0; i < 6; ++i) initial.push_back({"old" + std::to_string(i), "o"});
  ASSERT_TRUE(SaveAccounts(launcher.accounts, initial));
  for (int i = 0; i < kAdds; ++i) service.SetAccount("new" + std::to_string(i), "p" + std::to_string(i), "{}");

  // Adds of new logins, removals of half the old ones and password changes
  // of the other half, all started before any of them can finish.
  for (int i = 0; i < kAdds; ++i)
    Dispatch(launcher,
             "account.add\n{\"login\":\"new" + std::to_string(i) + "\",\"password\":\"p" + std::to_string(i) + "\"}");
  for (int i = 0; i < 6; i += 2) Dispatch(launcher, "account.remove\n{\"login\":\"old" + std::to_string(i) + "\"}");
  for (int i = 1; i < 6; i += 2) {
    service.SetAccount("old" + std::to_string(i), "changed", "{}");
    Dispatch(launcher, "account.add\n{\"login\":\"old" + std::to_string(i) + "\",\"password\":\"changed\"}");
  }
  WaitForTasks(ctx.tasks);

  const std::vector<Account> stored = LoadAccounts(launcher.accounts);
  std::set<std::pair<std::string, std::string>> got;
  for (const Account& a : stored) got.insert({a.login, a.password});
  std::set<std::pair<std::string, std::string>> want;
  for (int i = 0; i < kAdds; ++i) want.insert({"new" + std::to_string(i), "p" + std::to_string(i)});
  for (int i = 1; i < 6; i += 2) want.insert({"old" + std::to_string(i), "changed"});
  EXPECT_EQ(got, want);
  EXPECT_EQ(stored.size(), want.size()) << "no login stored twice";
  // Survivors of the old list keep their order ahead of the new logins.
  EXPECT_EQ(stored[0].login, "old1");

  const auto events = Events();
  EXPECT_EQ(std::count(events.begin(), events.end(),
                       R"({"screen":"acc","toast":{"kind":"ok","text":"Аккаунт добавлен"}})"),
            kAdds + 3);
}

TEST_F(ConcurrentAccounts, OtherReadersNeverSeeAHalfWrittenFile) {
  // Reading the file directly, without the store's lock, is what another
  // process (or a backup tool) does: the replace must still be whole.
  std::vector<Account> big;
  for (int i = 0; i < 200; ++i) big.push_back({"login" + std::to_string(i), "password" + std::to_string(i)});
  ASSERT_TRUE(SaveAccounts(launcher.accounts, big));
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0}, torn{0};
  std::thread writer([&] {
    for (int i = 0; i < 30; ++i) SaveAccounts(launcher.accounts, i % 2 ? big : std::vector<Account>(big.begin(), big.begin() + 100));
    stop = true;
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r)
    readers.emplace_back([&] {
      while (!stop) {
        const std::string bytes = test::ReadFile(AccountsFile());
        const auto lines = std::count(bytes.begin(), bytes.end(), '\n');
        const bool whole = (lines == 100 || lines == 200) && bytes.size() > 2 && bytes.ends_with("\r\n");
        ++reads;
        if (!whole) ++torn;
      }
    });
  writer.join();
  for (std::thread& t : readers) t.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(torn.load(), 0);
}

TEST_F(ConcurrentAccounts, ProcessesRacingForTheFirstKeyEndWithOne) {
  // Threads stand in for processes here: each creates the key through the
  // same publish-once step, which is what decides the race.
  constexpr int kRacers = 8;
  std::vector<std::string> sealed(kRacers);
  std::vector<std::thread> racers;
  std::atomic<int> ready{0};
  for (int i = 0; i < kRacers; ++i)
    racers.emplace_back([&, i] {
      ++ready;
      while (ready < kRacers) std::this_thread::yield();
      ProtectForUser("secret " + std::to_string(i), "race", sealed[i]);
    });
  for (std::thread& t : racers) t.join();
  for (int i = 0; i < kRacers; ++i) {
    std::string plain;
    EXPECT_TRUE(UnprotectForUser(sealed[i], "race", plain)) << i;
    EXPECT_EQ(plain, "secret " + std::to_string(i));
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(KeyFile().parent_path()),
                          std::filesystem::directory_iterator()),
            1);
}

}  // namespace
}  // namespace tarn

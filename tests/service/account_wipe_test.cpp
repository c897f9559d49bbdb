// No account command leaves a password behind in memory it gives back:
// every block this test's thread frees while a command runs is searched for
// the passwords in play. The program's operator new and delete are ours for
// that (malloc and free underneath, so sanitizers still pair them).
#include <malloc.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "fake_service.h"
#include "service/account_commands.h"
#include "service/account_store.h"
#include "service/news.h"
#include "store_fixture.h"

namespace {

// One short enough to live inside its string, one long enough for a block
// of its own.
constexpr std::string_view kShort = "Wipe7short";
constexpr std::string_view kLong = "Wipe7-a-password-too-long-for-the-string-itself";

thread_local bool tWatching = false;
int gFound = 0;  // only the watching thread counts

void Search(void* block) {
  if (!block || !tWatching) return;
  const std::string_view bytes(static_cast<const char*>(block), malloc_usable_size(block));
  gFound += bytes.find(kShort) != std::string_view::npos;
  gFound += bytes.find(kLong) != std::string_view::npos;
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
  Search(block);
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  Search(block);
  std::free(block);
}

namespace tarn {
namespace {

class PasswordWipe : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_TRUE(service_.listening());
    UseService(service_.port());
    service_.SetAccount("short", std::string(kShort), R"({"roles":[]})");
    service_.SetAccount("long", std::string(kLong), R"({"roles":[]})");
    service_.SetTicket(200, R"({"ticket":"t"})");
  }
  // What a command left in freed memory.
  template <typename Command>
  int LeftBehind(Command command) {
    gFound = 0;
    tWatching = true;
    command();
    tWatching = false;
    return gFound;
  }
  test::FakeService service_;
};

TEST_F(PasswordWipe, NoAccountCommandLeavesAPasswordInFreedMemory) {
  // The long one first: removing it closes the list up over the short one.
  ASSERT_TRUE(SaveAccounts(launcher.accounts, {{"long", std::string(kLong)}, {"short", std::string(kShort)}}));
  const std::string typedShort(kShort), typedLong(kLong);
  EXPECT_EQ(LeftBehind([&] { PushAccounts(launcher.accounts); }), 0) << "refresh";
  EXPECT_EQ(LeftBehind([&] { OpenCabinet(launcher.accounts, "long"); }), 0) << "cabinet";
  EXPECT_EQ(LeftBehind([&] { AddAccount(launcher.accounts, "long", typedLong); }), 0) << "add again";
  EXPECT_EQ(LeftBehind([&] { RemoveAccount(launcher.accounts, "long"); }), 0) << "remove";
  EXPECT_EQ(LeftBehind([&] { AddAccount(launcher.accounts, "long", typedLong); }), 0) << "add anew";
  EXPECT_EQ(LeftBehind([&] { OpenCabinet(launcher.accounts, "short"); }), 0) << "cabinet";
  // The commands did their work: the search is not blind.
  EXPECT_EQ(service_.requests("/api/ticket").size(), 2u);
  ASSERT_EQ(LoadAccounts(launcher.accounts).size(), 2u);
  EXPECT_GT(LeftBehind([] { std::string kept(kLong); }), 0);
}

}  // namespace
}  // namespace tarn

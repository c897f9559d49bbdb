// The Event texts that verification, update and launch share with the
// page, the comparison of a client against its list, and the epoch Event.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "client/epoch.h"
#include "support/temp_dir.h"
#include "update/verify.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

class Posted : public ::testing::Test {
 protected:
  void SetUp() override {
    HostSlots slots;
    slots.post = [this](const std::string& e) {
      std::lock_guard lock(mutex_);
      events_.push_back(e);
    };
    InstallHostSlots(ctx, slots);
  }
  void TearDown() override { InstallHostSlots(ctx, {}); }
  std::vector<std::string> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

  std::mutex mutex_;
  std::vector<std::string> events_;
  LauncherContext ctx;
};

TEST_F(Posted, RowsAndProgressAreCompactJson) {
  const std::string row = MakeStateRow(RowState::Bad, "data\\\"quoted\".pck — не совпала", "Перекачаю\n");
  EXPECT_EQ(row, R"({"state":"bad","label":"data\\\"quoted\".pck — не совпала","text":"Перекачаю\n"})");
  PostVerifyRows(ctx, {});
  PostVerifyRows(ctx, {MakeStateRow(RowState::Ok, "a", "b"), MakeStateRow(RowState::Run, "c", "1%")});
  PostProgress(ctx, "Проверка клиента", 7, false);
  PostProgress(ctx, "Найдены расхождения", 100, true);
  EXPECT_EQ(Events(), (std::vector<std::string>{
                          R"({"verify":[]})",
                          R"({"verify":[{"state":"ok","label":"a","text":"b"},{"state":"run","label":"c","text":"1%"}]})",
                          R"({"progress":{"status":"Проверка клиента","percent":7,"ready":false}})",
                          R"({"progress":{"status":"Найдены расхождения","percent":100,"ready":true}})",
                      }));
}

TEST(FindMismatches, ComparesChecksumsIgnoringCaseAndSize) {
  test::TempDir dir;
  test::WriteFile(dir.path() / "data" / "abc.txt", "abc");
  test::WriteFile(dir.path() / "empty", "");
  fs::create_directory(dir.path() / "folder");
  const std::vector<FileEntry> entries = {
      {"900150983CD24FB0D6963F7D28E17F72", 999, "data\\abc.txt"},  // upper case, wrong size: matches
      {"900150983cd24fb0d6963f7d28e17f72", 3, "empty"},            // wrong content
      {"d41d8cd98f00b204e9800998ecf8427e", 0, "missing"},
      {"d41d8cd98f00b204e9800998ecf8427e", 0, "folder"},           // unreadable
      {"d41d8cd98f00b204e9800998ecf8427e ", 0, "empty"},           // a checksum text that is not one
      {"d41d8cd98f00b204e9800998ecf8427e", 0, "empty"},
  };
  std::vector<size_t> done;
  const auto mismatches =
      FindMismatches(dir.str(), entries, [&](size_t d, size_t total) {
        EXPECT_EQ(total, entries.size());
        done.push_back(d);
      });
  EXPECT_EQ(mismatches, (std::vector<std::string>{"empty", "missing", "folder", "empty"}));
  EXPECT_EQ(done, (std::vector<size_t>{1, 2, 3, 4, 5, 6}));
}

TEST(EpochEvent, NamesTheInstalledEpochAndTheNextVersion) {
  EXPECT_EQ(EpochEvent(1, 2),
            R"({"epoch":{"index":0,"label":"1.3.6 · Заря","next":"1.3.8","days":35,"cycle":61,"build":1,"remote":2}})");
  EXPECT_EQ(EpochEvent(2, -1),
            R"({"epoch":{"index":1,"label":"1.3.8 · Зенит","next":"1.4.0","days":35,"cycle":61,"build":2,"remote":-1}})");
  EXPECT_EQ(EpochEvent(3, 3),
            R"({"epoch":{"index":2,"label":"1.4.0 · Излом","next":"","days":35,"cycle":61,"build":3,"remote":3}})");
  EXPECT_EQ(EpochEvent(7, 3),
            R"({"epoch":{"index":0,"label":"сборка 7","next":"","days":35,"cycle":61,"build":7,"remote":3}})");
  EXPECT_EQ(EpochEvent(0, 3),
            R"({"epoch":{"index":0,"label":"сборка 0","next":"","days":35,"cycle":61,"build":0,"remote":3}})");
  EXPECT_EQ(EpochEvent(-1, -1),
            R"({"epoch":{"index":0,"label":"версия не определена","next":"","days":35,"cycle":61,"build":-1,"remote":-1}})");
}

}  // namespace
}  // namespace tarn

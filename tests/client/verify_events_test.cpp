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
  PostProgress(ctx, "Проверка клиента", 7, ProgressStage::Busy);
  PostProgress(ctx, "Найдены расхождения", 100, ProgressStage::Ready);
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
  const EpochTable builtIn = BuiltInEpochTable();
  EXPECT_EQ(EpochEvent(builtIn, 1, 2),
            R"({"epoch":{"index":0,"label":"1.3.6 · Заря","next":"1.3.8","days":35,"cycle":61,"build":1,"remote":2}})");
  EXPECT_EQ(EpochEvent(builtIn, 2, -1),
            R"({"epoch":{"index":1,"label":"1.3.8 · Зенит","next":"1.4.0","days":35,"cycle":61,"build":2,"remote":-1}})");
  EXPECT_EQ(EpochEvent(builtIn, 3, 3),
            R"({"epoch":{"index":2,"label":"1.4.0 · Излом","next":"","days":35,"cycle":61,"build":3,"remote":3}})");
  EXPECT_EQ(EpochEvent(builtIn, 7, 3),
            R"({"epoch":{"index":0,"label":"сборка 7","next":"","days":35,"cycle":61,"build":7,"remote":3}})");
  EXPECT_EQ(EpochEvent(builtIn, 0, 3),
            R"({"epoch":{"index":0,"label":"сборка 0","next":"","days":35,"cycle":61,"build":0,"remote":3}})");
  EXPECT_EQ(EpochEvent(builtIn, -1, -1),
            R"({"epoch":{"index":0,"label":"версия не определена","next":"","days":35,"cycle":61,"build":-1,"remote":-1}})");
}

TEST(EpochTable, AnOperatorsRowsNameTheirBuildsAndNothingElse) {
  const std::string tooLongVersion(kMaxEpochVersionBytes + 1, '9');
  const std::string longestName(kMaxEpochNameBytes, 'N');
  const EpochTable table = ParseEpochTable(
      "# эпохи сервера\n"
      "\n"
      "  9\t2.0.0  3 90  Новая  эра  \n"                       // 3: blanks inside the name stay
      "4 1.9 0 30 <b>\"Тьма\"</b>\n"                         // 4: markup is only text
      "x 1.0 1 2 буква\n"                                    // 5: not a build
      "-1 1.0 1 2 минус\n"                                   // 6
      "2147483648 1.0 1 2 сверх\n"                           // 7: past the range
      "5 1.0 31 30 день\n"                                   // 8: the day past the cycle
      "6 1.0 +1 30 плюс\n"                                   // 9
      "7 1.0 1 100001 цикл\n"                                // 10: a cycle past the ceiling
      "8 1.0 1 2\n"                                          // 11: no name
      "10 " + tooLongVersion + " 1 2 длинная\n"              // 12
      "11 1.0 1 2 " + longestName + "X\n"                    // 13
      "12 1.0 1 2 " + longestName + "\n"                     // 14: just fits
      "13 1.0 1 2 упр\x01вление\n"                           // 15
      "14 1.0 1 2 \xFF\xFE\n"                                // 16: not UTF-8
      "4 1.0 1 2 снова\n"                                    // 17: a build again, the first stands
      "2147483647 9.9 1 1 Последняя");                       // 18: no line end
  EXPECT_EQ(table.skippedLines, (std::vector<size_t>{5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 16, 17}));
  ASSERT_EQ(table.rows.size(), 4u);
  EXPECT_EQ(table.rows[0].build, 4);
  EXPECT_EQ(table.rows[1].name, "Новая  эра");
  EXPECT_EQ(table.rows[2].name, longestName);
  EXPECT_EQ(table.rows[3].build, 2147483647);

  EXPECT_EQ(EpochEvent(table, 4, 12),
            R"({"epoch":{"index":0,"label":"1.9 · <b>\"Тьма\"</b>","next":"2.0.0","days":0,"cycle":30,"build":4,"remote":12}})");
  EXPECT_EQ(EpochEvent(table, 9, -1),
            R"({"epoch":{"index":1,"label":"2.0.0 · Новая  эра","next":"1.0","days":3,"cycle":90,"build":9,"remote":-1}})");
  // A build the operator did not name: its number, and no day counts.
  EXPECT_EQ(EpochEvent(table, 1, 9),
            R"({"epoch":{"index":0,"label":"сборка 1","next":"","days":0,"cycle":0,"build":1,"remote":9}})");

  // Past the row ceiling every line is skipped.
  std::string many;
  for (size_t i = 0; i <= kMaxEpochRows; ++i) many += std::to_string(i) + " 1.0 1 2 э\n";
  const EpochTable capped = ParseEpochTable(many);
  EXPECT_EQ(capped.rows.size(), kMaxEpochRows);
  EXPECT_EQ(capped.skippedLines, (std::vector<size_t>{kMaxEpochRows + 1}));
}

}  // namespace
}  // namespace tarn

// The epoch Event and the operator's epoch table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/epoch.h"

namespace tarn {
namespace {

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

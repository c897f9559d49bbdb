#include "bridge/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "bridge/context.h"
#include "bridge/text.h"
#include "platform/paths.h"
#include "support/launcher.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {


TEST(LogLineBytes, Utf16LittleEndianWithCrLfAndNoBom) {
  const std::string bytes = LogLineBytes("видим   1");
  EXPECT_EQ(bytes.size(), (9u + 2u) * 2u);
  EXPECT_EQ(test::LogUnits(bytes), u"видим   1\r\n");
  // "в" is U+0432: low byte first, and no byte-order mark in front.
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0x32);
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0x04);
}

TEST(LogLineBytes, CutsAt1023UnitsWithoutSplittingASurrogatePair) {
  EXPECT_EQ(test::LogUnits(LogLineBytes(std::string(2000, 'x'))), std::u16string(1023, u'x') + u"\r\n");
  EXPECT_EQ(test::LogUnits(LogLineBytes(std::string(1023, 'x'))).size(), 1025u);
  // 1000 Cyrillic letters count 1000 units, not 2000 bytes.
  std::string cyr;
  for (int i = 0; i < 1100; ++i) cyr += "ж";
  EXPECT_EQ(test::LogUnits(LogLineBytes(cyr)).size(), 1023u + 2u);
  // An astral character straddling the cut is dropped whole.
  const std::string straddle = std::string(1022, 'x') + "\xF0\x9F\x98\x80";
  EXPECT_EQ(test::LogUnits(LogLineBytes(straddle)), std::u16string(1022, u'x') + u"\r\n");
  const std::string fits = std::string(1021, 'x') + "\xF0\x9F\x98\x80" + "tail";
  EXPECT_EQ(test::LogUnits(LogLineBytes(fits)).size(), 1023u + 2u);
  EXPECT_EQ(LogLineBytes(""), std::string("\r\0\n\0", 4));
}

// One test for everything that touches the real file beside this program,
// so parallel test processes never share it.
TEST(LauncherLog, FileBesideTheProgramResetOncePerRun) {
  LauncherContext ctx;
  const std::filesystem::path path = LogPath();
  EXPECT_EQ(path.parent_path(), std::filesystem::path(ExeDir()));
  test::WriteFile(path, "left over from the last run");

  LogHostLine(ctx.log, "клиент  %dx%d", 1000, 620);
  LogHostLine(ctx.log, "bounds  hr=0x%08X -> %dx%d", 0u, 1000, 620);
  LogLine(ctx.log, "%s %zu %llu", "строка", size_t{7}, 1ull << 40);
  EXPECT_EQ(test::LogUnits(test::ReadFile(path)),
            u"клиент  1000x620\r\nbounds  hr=0x00000000 -> 1000x620\r\nстрока 7 1099511627776\r\n");

  // Deleting the file while running: the next line starts a new file.
  std::filesystem::remove(path);
  LogLine(ctx.log, "после удаления");
  EXPECT_EQ(test::LogUnits(test::ReadFile(path)), u"после удаления\r\n");

  // Long formatted output is cut; the next line is whole again.
  std::filesystem::remove(path);
  LogLine(ctx.log, "%s", std::string(2000, 'y').c_str());
  LogHostLine(ctx.log, "%d", 1);
  EXPECT_EQ(test::LogUnits(test::ReadFile(path)), std::u16string(1023, u'y') + u"\r\n1\r\n");

  // Near the bound: what fits goes in, then one closing line, then nothing,
  // from either writer; a file removed meanwhile takes lines again.
  const std::string full = LogLineBytes(kLogFullLine);
  const std::string nearly(kLogLimitBytes - full.size() - 3000, 'x');
  test::WriteFile(path, nearly);
  LogLine(ctx.log, "%s", std::string(1000, 'a').c_str());  // 2,004 bytes: fits
  LogLine(ctx.log, "%s", std::string(1000, 'b').c_str());  // would not
  LogLine(ctx.log, "c");
  LogHostLine(ctx.log, "d");
  const std::string bytes = test::ReadFile(path);
  EXPECT_EQ(bytes, nearly + LogLineBytes(std::string(1000, 'a')) + full);
  EXPECT_LE(bytes.size(), static_cast<size_t>(kLogLimitBytes));
  std::filesystem::remove(path);
  LogLine(ctx.log, "снова");
  EXPECT_EQ(test::LogUnits(test::ReadFile(path)), u"снова\r\n");
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace tarn

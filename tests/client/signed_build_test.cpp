// The floor of signed builds in a data folder of the test's own, and the
// build a finished install or update stamps.
#include "client/signed_build.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "bridge/host_slots.h"
#include "client/install_record.h"
#include "support/launcher.h"
#include "support/temp_dir.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

TEST(ParseBuildFloor, OnlyAWholeNumberWithinTheRangeCounts) {
  EXPECT_EQ(ParseBuildFloor("5\n"), 5);
  EXPECT_EQ(ParseBuildFloor("0"), 0);
  EXPECT_EQ(ParseBuildFloor("17\r\n  \n"), 17);
  EXPECT_EQ(ParseBuildFloor("2147483647\n"), 2147483647);
  for (std::string_view bad : std::initializer_list<std::string_view>{"", "\n", "2147483648", "99999999999", "-1", "+5", " 5", "5 0", "5x", "x",
                               "0x10", "5\n6\n", std::string_view("5\0", 2)})
    EXPECT_EQ(ParseBuildFloor(bad), std::nullopt) << bad;
}

class Floor : public ::testing::Test {
 protected:
  void SetUp() override { InstallHostSlots(ctx, test::DataOnly(data_.string())); }
  void TearDown() override { InstallHostSlots(ctx, {}); }
  fs::path File() const { return data_ / "build.floor"; }
  FileList ListOf(int32_t build) {
    FileList list;
    list.version = build;
    return list;
  }

  test::TempDir root_;
  fs::path data_ = root_.path() / "data";
  Launcher launcher;
  LauncherContext& ctx = launcher.context;
};

TEST_F(Floor, RisesOnlyAndALostFileFallsBackOnTheFinishedInstallsSignedBuild) {
  EXPECT_EQ(ReadBuildFloor(launcher.client), -1);
  RaiseBuildFloor(launcher.client, -1);
  EXPECT_FALSE(fs::exists(File()));
  RaiseBuildFloor(launcher.client, 5);
  EXPECT_EQ(ReadFile(File()), "5\n");
  RaiseBuildFloor(launcher.client, 3);
  EXPECT_EQ(ReadBuildFloor(launcher.client), 5);
  RaiseBuildFloor(launcher.client, 8);
  EXPECT_EQ(ReadBuildFloor(launcher.client), 8);

  // Without the file, a finished install's recorded build stands in; an
  // unfinished one's does not, as nothing of it was installed.
  SetConfigValues(launcher.client, {{"state", "установка"}, {"version", "6"}});
  for (const char* damaged : {"", "eight\n", "8 0\n", "-8\n", "99999999999\n"}) {
    WriteFile(File(), damaged);
    EXPECT_EQ(ReadBuildFloor(launcher.client), -1) << damaged;
  }
  WriteFile(File(), std::string(100, '9'));
  EXPECT_EQ(ReadBuildFloor(launcher.client), -1);
  SetConfigValue(launcher.client, "state", "готово");
  EXPECT_EQ(ReadBuildFloor(launcher.client), 6);
  fs::remove(File());
  EXPECT_EQ(ReadBuildFloor(launcher.client), 6);
  // The file is written again, never below what stood in for it.
  RaiseBuildFloor(launcher.client, 4);
  EXPECT_EQ(ReadFile(File()), "6\n");
  WriteFile(File(), "junk");
  RaiseBuildFloor(launcher.client, 7);
  EXPECT_EQ(ReadFile(File()), "7\n");
}

TEST_F(Floor, TheSignedBuildIsTrustedOverTheVersionDocumentWhenTheListNamesOne) {
  EXPECT_EQ(TrustedBuild(launcher.client, ListOf(5), 6), 5);
  EXPECT_EQ(TrustedBuild(launcher.client, ListOf(5), std::nullopt), 5);
  EXPECT_EQ(TrustedBuild(launcher.client, ListOf(-1), 6), 6);
  EXPECT_EQ(TrustedBuild(launcher.client, ListOf(-1), std::nullopt), std::nullopt);
  // A list without a build stamps the document's as before, but no
  // unsigned number ever raises the floor.
  EXPECT_EQ(StampFinishedBuild(launcher.client, ListOf(-1), 9), 9);
  EXPECT_EQ(ReadBuildFloor(launcher.client), -1);
  EXPECT_EQ(StampFinishedBuild(launcher.client, ListOf(4), 9), 4);
  EXPECT_EQ(ReadBuildFloor(launcher.client), 4);
}

}  // namespace
}  // namespace tarn

// Client discovery over real folder trees: the install record first, then
// the climb from a base folder through the candidate suffixes.
#include "client/discovery.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "bridge/host_slots.h"
#include "client/install_record.h"
#include "platform/file_ops.h"
#include "support/launcher.h"
#include "support/temp_dir.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

using test::DataOnly;

namespace fs = std::filesystem;

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override { InstallHostSlots(ctx, DataOnly((root_.path() / "data").string())); }
  void TearDown() override { InstallHostSlots(ctx, {}); }
  // base = root/1/2/3/4/5/6/launcher
  fs::path Level(int up) const {
    fs::path p = base_;
    for (int i = 0; i < up; ++i) p = p.parent_path();
    return p;
  }
  static void PutClient(const fs::path& folder) { test::WriteFile(folder / "ElementClient.exe", "MZ"); }

  test::TempDir root_;
  fs::path base_ = root_.path() / "1" / "2" / "3" / "4" / "5" / "6" / "launcher";
  Launcher launcher;
  LauncherContext& ctx = launcher.context;
};

TEST_F(Discovery, SearchFindsTheBaseOrAFolderUpToFiveAbove) {
  fs::create_directories(base_);
  EXPECT_EQ(SearchClientDirFrom(base_.string()), "");
  PutClient(Level(6));  // the seventh folder: too far
  EXPECT_EQ(SearchClientDirFrom(base_.string()), "");
  PutClient(Level(5));
  EXPECT_EQ(SearchClientDirFrom(base_.string()), Level(5).string());
  PutClient(Level(1));
  EXPECT_EQ(SearchClientDirFrom(base_.string()), Level(1).string());
  PutClient(base_);
  EXPECT_EQ(SearchClientDirFrom(base_.string()), base_.string());
}

TEST_F(Discovery, SuffixesAreTriedInOrderAtEachLevelBeforeClimbing) {
  PutClient(base_ / "client-dev");
  EXPECT_EQ(SearchClientDirFrom(base_.string()), (base_ / "client-dev").string());
  PutClient(base_ / "element");
  EXPECT_EQ(SearchClientDirFrom(base_.string()), (base_ / "element").string());
  PutClient(base_ / "install" / "element");
  EXPECT_EQ(SearchClientDirFrom(base_.string()), (base_ / "install" / "element").string());
  // A nearer suffix beats a client in the folder above.
  PutClient(Level(1));
  EXPECT_EQ(SearchClientDirFrom(base_.string()), (base_ / "install" / "element").string());
}

TEST_F(Discovery, SearchAnswersANormalisedPathAndIgnoresAFolderNamedLikeTheClient) {
  fs::create_directories(base_ / "element" / "ElementClient.exe");
  PutClient(Level(2) / "element");
  EXPECT_EQ(SearchClientDirFrom((base_ / "." / ".." / "launcher").string()), (Level(2) / "element").string());
  EXPECT_EQ(SearchClientDirFrom(""), "");
}

TEST(SearchParent, ClimbsButNeverToTheRoot) {
  EXPECT_EQ(SearchParent("/a/b/c"), "/a/b");
  EXPECT_EQ(SearchParent("/a"), "");
  EXPECT_EQ(SearchParent("/"), "");
  EXPECT_EQ(SearchParent("relative"), "");
  EXPECT_EQ(FullPath("/a/./b/../c/"), "/a/c");
}

TEST_F(Discovery, TheInstallRecordWinsWhenItsFolderHoldsTheClient) {
  const fs::path installed = root_.path() / "Игры" / "ТАРН";
  PutClient(installed);
  const std::string recorded = (installed / "." ).string();  // returned as written, not normalised
  SetConfigValue(launcher.client, "path", recorded);
  SetConfigValue(launcher.client, "state", "идёт");
  EXPECT_EQ(FindClientDir(launcher.client), recorded);
  EXPECT_FALSE(IsClientInstalled(launcher.client));  // unfinished
  SetConfigValue(launcher.client, "state", "готово");
  EXPECT_TRUE(IsClientInstalled(launcher.client));
  SetConfigValue(launcher.client, "state", "готово ");
  EXPECT_FALSE(IsClientInstalled(launcher.client));

  SetConfigValue(launcher.client, "state", "готово");
  fs::remove_all(installed);
  EXPECT_FALSE(IsClientInstalled(launcher.client));  // no search when a record exists
  // FindClientDir falls back to the search near the test program, which
  // holds no client.
  EXPECT_EQ(FindClientDir(launcher.client), "");
}

}  // namespace
}  // namespace tarn

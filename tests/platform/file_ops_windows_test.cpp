// What the file-system questions answer on Windows: drive letters,
// backslashes and the 260-unit limit of full paths.
#include "platform/file_ops.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/paths.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

TEST(FileOpsWindows, FullPathNormalisesAsTextAndRefusesLongPaths) {
  EXPECT_EQ(FullPath("C:\\games\\.\\old\\..\\ТАРН\\"), "C:\\games\\ТАРН");
  EXPECT_EQ(FullPath("C:/games/ТАРН"), "C:\\games\\ТАРН");
  EXPECT_EQ(FullPath("C:\\"), "C:\\");
  EXPECT_EQ(FullPath("C:\\.."), "C:\\");
  EXPECT_EQ(FullPath(""), "");
  const std::string fits = "C:\\" + std::string(255, 'a');  // 258 units and a terminator
  EXPECT_EQ(FullPath(fits), fits);
  EXPECT_EQ(FullPath("C:\\" + std::string(257, 'a')), "");
}

TEST(FileOpsWindows, SearchParentStopsAboveTheDriveRoot) {
  EXPECT_EQ(SearchParent("C:\\games\\ТАРН"), "C:\\games");
  EXPECT_EQ(SearchParent("C:\\games"), "");
  EXPECT_EQ(SearchParent("games"), "");
}

TEST(FileOpsWindows, IsFileAndAtomicReplace) {
  test::TempDir dir;
  const std::string path = JoinPath(dir.str(), "install.cfg");
  EXPECT_FALSE(IsFile(path));
  EXPECT_FALSE(IsFile(dir.str()));
  ASSERT_TRUE(ReplaceFileAtomically(path, "first"));
  EXPECT_TRUE(IsFile(path));
  ASSERT_TRUE(ReplaceFileAtomically(path, "second, longer"));
  EXPECT_EQ(test::ReadFile(dir.path() / "install.cfg"), "second, longer");
  // No temporary file stays behind, neither after success nor after failure.
  EXPECT_FALSE(ReplaceFileAtomically(JoinPath(JoinPath(dir.str(), "missing"), "x"), "x"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace tarn

// The folder calls a move of the client makes, the same on every backend
// (the Windows one under Wine): one disk or two, the rename, the listing
// and the removal of an emptied folder, with names that are not ASCII.
#include "platform/folder_move.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "platform/paths.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::Utf8Path;

TEST(FolderMove, RenameListAndRemoveOnOneDisk) {
  test::TempDir dir;
  const std::string from = JoinPath(dir.str(), "Игры 😀");
  const std::string to = JoinPath(JoinPath(dir.str(), "Новое"), "ТАРН");
  test::WriteFile(Utf8Path(JoinPath(from, "паки")) / "a.pck", "a");
  test::WriteFile(Utf8Path(JoinPath(from, "b.txt")), "b");
  fs::create_directories(Utf8Path(JoinPath(dir.str(), "Новое")));

  // A place not made yet is judged by the folder it would be made in.
  EXPECT_EQ(OnSameFileSystem(from, JoinPath(to, "ещё нет")).value_or(false), true);
  std::vector<std::string> names = FolderNames(from, 10).value_or(std::vector<std::string>{});
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"b.txt", "паки"}));
  EXPECT_EQ(FolderNames(from, 1)->size(), 1u);
  EXPECT_EQ(FolderNames(to, 10).reason(), FileError::Missing);
  EXPECT_EQ(FolderNames(JoinPath(from, "b.txt"), 10).reason(), FileError::Failed);

  ASSERT_TRUE(RenameFolder(from, to).ok());
  EXPECT_FALSE(fs::exists(Utf8Path(from)));
  EXPECT_EQ(test::ReadFile(Utf8Path(JoinPath(to, "паки")) / "a.pck"), "a");
  // Never onto something that is there, nor a file as if it were a folder.
  fs::create_directories(Utf8Path(from));
  EXPECT_FALSE(RenameFolder(to, from).ok());
  EXPECT_FALSE(RenameFolder(JoinPath(to, "b.txt"), JoinPath(dir.str(), "c")).ok());
  EXPECT_TRUE(fs::exists(Utf8Path(JoinPath(to, "b.txt"))));

  EXPECT_FALSE(RemoveEmptyFolder(to));
  EXPECT_TRUE(fs::exists(Utf8Path(to)));
  EXPECT_TRUE(RemoveEmptyFolder(from));
  EXPECT_FALSE(fs::exists(Utf8Path(from)));
}

// /dev/shm is a file system of its own on most Linux machines: the answer
// that tells it apart agrees with the kernel's refusal to rename across.
TEST(FolderMove, AnotherFileSystemIsToldApartAndTheRenameSaysSo) {
  test::TempDir dir;
  const std::string other = "/dev/shm";
  if (!fs::is_directory(other) || OnSameFileSystem(dir.str(), other).value_or(true))
    GTEST_SKIP() << "no /dev/shm of its own here";
  const std::string from = JoinPath(dir.str(), "ТАРН");
  test::WriteFile(Utf8Path(JoinPath(from, "a.pck")), "a");
  const std::string to = JoinPath(other, "tarn-folder-move-" + std::to_string(fs::hash_value(Utf8Path(from))));
  EXPECT_EQ(RenameFolder(from, to).reason(), RenameProblem::OtherFileSystem);
  EXPECT_EQ(test::ReadFile(Utf8Path(JoinPath(from, "a.pck"))), "a");
  EXPECT_FALSE(fs::exists(Utf8Path(to)));
}

}  // namespace
}  // namespace tarn

// The contract of the file calls, the same on every backend. Names are
// UTF-8 inside the program; on Windows they cross into UTF-16 at every call,
// so each case also uses a name that is not ASCII.
#include "platform/file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/disk.h"
#include "platform/output_file.h"
#include "platform/paths.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::PathUtf8;
using test::Utf8Path;

// Cyrillic, a character outside the basic plane, and a space.
constexpr const char* kName = "журнал 😀.log";

TEST(FileCalls, AppendCreatesThenAppendsAndKeepsWhatWasThere) {
  test::TempDir dir;
  const std::string path = JoinPath(dir.str(), kName);
  for (WriteSharing sharing : {WriteSharing::Shared, WriteSharing::Exclusive}) {
    ASSERT_TRUE(AppendToFile(path, std::string("a\0b", 3), sharing));
    ASSERT_TRUE(AppendToFile(path, "\r\n", sharing));
  }
  // The name on disk is the name that was asked for, not a mangled one.
  ASSERT_TRUE(fs::exists(dir.path() / Utf8Path(kName)));
  EXPECT_EQ(test::ReadFile(dir.path() / Utf8Path(kName)), std::string("a\0b\r\na\0b\r\n", 10));

  std::string bytes = "stale";
  EXPECT_TRUE(ReadWholeFile(path, bytes));
  EXPECT_EQ(bytes, std::string("a\0b\r\na\0b\r\n", 10));
  EXPECT_TRUE(AppendToFile(path, "", WriteSharing::Shared));  // an empty write is no failure
  EXPECT_EQ(fs::file_size(dir.path() / Utf8Path(kName)), 10u);
}

TEST(FileCalls, ReadWholeFileHandlesLargeAndEmptyFiles) {
  test::TempDir dir;
  std::string big;
  for (int i = 0; i < 50000; ++i) big += static_cast<char>(i * 7);
  test::WriteFile(dir.path() / "big", big);
  test::WriteFile(dir.path() / "empty", "");
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(JoinPath(dir.str(), "big"), bytes));
  EXPECT_EQ(bytes, big);
  EXPECT_TRUE(ReadWholeFile(JoinPath(dir.str(), "empty"), bytes));
  EXPECT_EQ(bytes, "");
}

TEST(FileCalls, FailuresAreResults) {
  test::TempDir dir;
  const std::string missing = JoinPath(dir.str(), "нет такого");
  std::string bytes = "stale";
  EXPECT_FALSE(ReadWholeFile(missing, bytes));
  EXPECT_EQ(bytes, "");
  EXPECT_FALSE(RemoveFile(missing));
  // Appending inside a folder that does not exist creates nothing.
  EXPECT_FALSE(AppendToFile(JoinPath(missing, "x.log"), "x", WriteSharing::Shared));
  EXPECT_FALSE(fs::exists(Utf8Path(missing)));
  // A folder is not a file to append to or to delete.
  EXPECT_FALSE(AppendToFile(dir.str(), "x", WriteSharing::Shared));
  EXPECT_FALSE(RemoveFile(dir.str()));
  EXPECT_TRUE(fs::is_directory(dir.path()));
}

TEST(FileCalls, RemoveFileDeletesOnce) {
  test::TempDir dir;
  const std::string path = JoinPath(dir.str(), kName);
  ASSERT_TRUE(AppendToFile(path, "x", WriteSharing::Exclusive));
  EXPECT_TRUE(RemoveFile(path));
  EXPECT_FALSE(fs::exists(dir.path() / Utf8Path(kName)));
  EXPECT_FALSE(RemoveFile(path));
}

TEST(FileCalls, MakeFolderIsTrueWhenTheFolderExistsAfterwards) {
  test::TempDir dir;
  const std::string folder = JoinPath(dir.str(), "данные");
  EXPECT_TRUE(MakeFolder(folder));
  EXPECT_TRUE(fs::is_directory(dir.path() / Utf8Path("данные")));
  EXPECT_TRUE(MakeFolder(folder));  // already there
  // One level only: a missing parent is not created.
  EXPECT_FALSE(MakeFolder(JoinPath(JoinPath(dir.str(), "a"), "b")));
  // A file in the way is not a folder.
  test::WriteFile(dir.path() / "file", "x");
  EXPECT_FALSE(MakeFolder(JoinPath(dir.str(), "file")));
}

// The downloader tells a full disk from any other failure, and sizes a
// ".part" file only when it is one: each failure comes back with its reason.
TEST(FileCalls, OutputFilesAndSizesSayWhyTheyFailed) {
  test::TempDir dir;
  const std::string path = JoinPath(dir.str(), kName);
  EXPECT_EQ(FileSize(path).reason(), FileError::Missing);
  EXPECT_EQ(FileSize(dir.str()).reason(), FileError::Missing) << "a folder has no size";
  OutputFile file;
  ASSERT_TRUE(OpenOutputFile(path, 0, file).ok());
  ASSERT_TRUE(WriteOutputFile(file, "12345").ok());
  ASSERT_TRUE(CommitOutputFile(file).ok());
  ASSERT_TRUE(FileSize(path).ok());
  EXPECT_EQ(FileSize(path).value(), 5u);
  EXPECT_EQ(WriteOutputFile(file, "x").reason(), FileError::Failed) << "committed means closed";
  EXPECT_EQ(CommitOutputFile(file).reason(), FileError::Failed);
  EXPECT_EQ(OpenOutputFile(JoinPath(JoinPath(dir.str(), "нет"), "x"), 0, file).reason(), FileError::Failed);
  EXPECT_EQ(MakeOutputFolder(path).reason(), FileError::Failed) << "a file holds the name";
  EXPECT_TRUE(MakeOutputFolder(dir.str()).ok());
  ASSERT_TRUE(OpenOutputFile(path, 5, file).ok());
  ASSERT_TRUE(WriteOutputFile(file, "6").ok());
  file = OutputFile();
  EXPECT_EQ(FileSize(path).value_or(0), 6u) << "writing continues at the offset";

  EXPECT_EQ(DiskFreeBytes("").reason(), FileError::Failed);
  ASSERT_TRUE(DiskFreeBytes(dir.str()).ok());
  EXPECT_GT(DiskFreeBytes(dir.str()).value(), 0u);
}

TEST(Paths, ExeDirIsTheFolderOfThisProgram) {
  const std::string dir = ExeDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), NativeSeparator());
  EXPECT_TRUE(fs::equivalent(Utf8Path(dir), fs::path(TARN_TEST_BINARY_DIR)));
  EXPECT_EQ(JoinPath(dir, "launcher.log"), dir + NativeSeparator() + "launcher.log");
  EXPECT_EQ(JoinPath(dir + NativeSeparator(), "x"), dir + NativeSeparator() + "x");
  EXPECT_EQ(JoinPath("", "x"), "x");
  EXPECT_EQ(JoinPath(dir, ""), dir);
}

}  // namespace
}  // namespace tarn

// Windows enforces sharing modes, so the log's two writers behave
// differently while someone else writes the file: the common writer shares
// writing, the window host's writer refuses to. POSIX has no mandatory
// sharing, which is why this holds on Windows only.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/file.h"
#include "platform/paths.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

struct OpenFile {
  HANDLE h;
  explicit OpenFile(HANDLE handle) : h(handle) {}
  ~OpenFile() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

TEST(FileSharing, ExclusiveAppendRefusesWhileAnotherWriterHasTheFile) {
  test::TempDir dir;
  const std::string path = JoinPath(dir.str(), "launcher.log");
  ASSERT_TRUE(AppendToFile(path, "a", WriteSharing::Shared));
  {
    // Another writer that shares reading and writing, as LogLine does.
    OpenFile other(CreateFileW((dir.path() / "launcher.log").wstring().c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
    ASSERT_NE(other.h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(AppendToFile(path, "b", WriteSharing::Shared));
    EXPECT_FALSE(AppendToFile(path, "c", WriteSharing::Exclusive));
  }
  {
    // A reader alone does not stop the exclusive writer.
    OpenFile reader(CreateFileW((dir.path() / "launcher.log").wstring().c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    ASSERT_NE(reader.h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(AppendToFile(path, "d", WriteSharing::Exclusive));
  }
  EXPECT_EQ(test::ReadFile(dir.path() / "launcher.log"), "abd");
}

TEST(FileSharing, HeldFileCanBeReadButNotDeleted) {
  test::TempDir dir;
  const std::string path = JoinPath(dir.str(), "held");
  ASSERT_TRUE(AppendToFile(path, "x", WriteSharing::Shared));
  OpenFile holder(CreateFileW((dir.path() / "held").wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_NE(holder.h, INVALID_HANDLE_VALUE);
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(path, bytes));
  EXPECT_EQ(bytes, "x");
  EXPECT_FALSE(RemoveFile(path));
  EXPECT_FALSE(AppendToFile(path, "y", WriteSharing::Shared));
}

}  // namespace
}  // namespace tarn

// Reading an old copy at any offset, and the SHA-256 its blocks are known
// by: the same on every backend.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/crypto.h"
#include "platform/input_file.h"
#include "platform/paths.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

std::string Sha256Hex(const std::string& bytes) {
  Sha256Digest digest{};
  if (!Sha256Of(bytes, digest)) return "failed";
  Md5Digest first{};
  Md5Digest second{};
  std::copy(digest.begin(), digest.begin() + 16, first.begin());
  std::copy(digest.begin() + 16, digest.end(), second.begin());
  return Md5DigestHex(first) + Md5DigestHex(second);
}

TEST(Sha256Of, KnownDigests) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(InputFile, ReadsAtAnyOffsetRefusesWhatIsNoRegularFileAndStampsAChange) {
  test::TempDir dir;
  test::WriteFile(dir.path() / "old.pck", "0123456789");
  InputFile file;
  ASSERT_TRUE(OpenInputFile(JoinPath(dir.str(), "old.pck"), file));
  char buffer[8] = {};
  EXPECT_EQ(ReadInputFile(file, 6, buffer, sizeof buffer), 4);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_EQ(ReadInputFile(file, 3, buffer, 2), 2);
  EXPECT_EQ(std::string(buffer, 2), "34");
  EXPECT_EQ(ReadInputFile(file, 10, buffer, sizeof buffer), 0);
  const FileStamp before = StampOf(file);
  EXPECT_EQ(before.size, 10);
  EXPECT_TRUE(StampOf(file) == before);
  // Another writer changes the file under the open handle.
  test::WriteFile(dir.path() / "old.pck", "0123456789ab");
  EXPECT_FALSE(StampOf(file) == before);

  InputFile none;
  EXPECT_FALSE(OpenInputFile(JoinPath(dir.str(), "missing"), none));
  EXPECT_FALSE(none.isOpen());
  fs::create_directories(dir.path() / "folder");
  EXPECT_FALSE(OpenInputFile(JoinPath(dir.str(), "folder"), none));
  EXPECT_EQ(ReadInputFile(none, 0, buffer, 1), -1);
  std::error_code ec;
  fs::create_symlink(dir.path() / "old.pck", dir.path() / "link.pck", ec);
  if (!ec) {
    EXPECT_FALSE(OpenInputFile(JoinPath(dir.str(), "link.pck"), none)) << "a link is never followed";
  }
}

}  // namespace
}  // namespace tarn

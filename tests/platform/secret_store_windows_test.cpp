// The data-protection backend of the secret store: sealed bytes open again
// for this user only when unchanged, and private files replace whole.
#include "platform/secret_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/file_ops.h"
#include "platform/paths.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

TEST(SecretStoreWindows, SealedBytesOpenOnlyUnchanged) {
  static constexpr char kPlain[] = "пароль \0\xFF with \"quotes\"";
  const std::string plain(kPlain, sizeof kPlain - 1);
  std::string sealed;
  ASSERT_TRUE(ProtectForUser(plain, "accounts", sealed));
  EXPECT_EQ(sealed.find("пароль"), std::string::npos);
  std::string opened = "stale";
  ASSERT_TRUE(UnprotectForUser(sealed, "accounts", opened));
  EXPECT_EQ(opened, plain);

  std::string empty;
  ASSERT_TRUE(ProtectForUser("", "accounts", empty));
  EXPECT_TRUE(UnprotectForUser(empty, "accounts", opened));
  EXPECT_EQ(opened, "");

  // A change to the encrypted bytes or to their signature at the end of
  // the blob is refused. (Wine leaves some header fields unchecked, so the
  // test changes only what every implementation authenticates.)
  for (size_t back : {size_t{1}, size_t{25}}) {
    std::string changed = sealed;
    changed[changed.size() - back] ^= 0x01;
    opened = "stale";
    EXPECT_FALSE(UnprotectForUser(changed, "accounts", opened)) << back;
    EXPECT_EQ(opened, "");
  }
  EXPECT_FALSE(UnprotectForUser(sealed.substr(0, sealed.size() - 1), "accounts", opened));
  EXPECT_FALSE(UnprotectForUser("", "accounts", opened));
}

TEST(SecretStoreWindows, PrivateFileReplacesWholeAndLeavesNothingBehind) {
  test::TempDir dir;
  const std::string path = JoinPath(dir.str(), "accounts.dat");
  ASSERT_TRUE(ReplaceFileAtomically(path, "first", FileAccess::OwnerOnly));
  ASSERT_TRUE(ReplaceFileAtomically(path, "second", FileAccess::OwnerOnly));
  EXPECT_EQ(test::ReadFile(dir.path() / "accounts.dat"), "second");
  EXPECT_FALSE(ReplaceFileAtomically(JoinPath(JoinPath(dir.str(), "missing"), "accounts.dat"), "x", FileAccess::OwnerOnly));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}

}  // namespace
}  // namespace tarn

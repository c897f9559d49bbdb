// File checksums as hex text, against OpenSSL's digests of the same bytes.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>

#include "platform/crypto.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::WriteFile;

std::string Md5Reference(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &n, EVP_md5(), nullptr);
  std::string hex;
  char two[3];
  for (unsigned i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

TEST(FileMd5Hex, HashesEmptySmallAndMultiPieceFiles) {
  test::TempDir dir;
  std::string big(3 * (1 << 20) + 5, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 3);
  const std::pair<std::string, std::string> files[] = {
      {"empty", ""}, {"abc", "abc"}, {"big", big}, {"exact", std::string(1 << 20, 'x')}};
  for (const auto& [name, bytes] : files) WriteFile(dir.path() / name, bytes);

  std::string hex;
  ASSERT_TRUE(FileMd5Hex((dir.path() / "empty").string(), hex));
  EXPECT_EQ(hex, "d41d8cd98f00b204e9800998ecf8427e");
  ASSERT_TRUE(FileMd5Hex((dir.path() / "abc").string(), hex));
  EXPECT_EQ(hex, "900150983cd24fb0d6963f7d28e17f72");
  for (const auto& [name, bytes] : files) {
    ASSERT_TRUE(FileMd5Hex((dir.path() / name).string(), hex)) << name;
    EXPECT_EQ(hex, Md5Reference(bytes)) << name;
  }
}

TEST(FileMd5Hex, FilesThatCannotBeReadGiveNoChecksum) {
  test::TempDir dir;
  fs::create_directory(dir.path() / "folder");
  for (const fs::path& p : {dir.path() / "missing", dir.path() / "folder", fs::path()}) {
    std::string hex = "stale";
    EXPECT_FALSE(FileMd5Hex(p.string(), hex)) << p;
    EXPECT_EQ(hex, "") << p;
  }
}

}  // namespace
}  // namespace tarn

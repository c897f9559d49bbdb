// File digests, the same on every backend: the platform's crypto library
// must agree with the published MD5 values, across the boundaries of its
// read pieces too.
#include <gtest/gtest.h>

#include <string>

#include "platform/crypto.h"
#include "platform/paths.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

std::string Hex(const Md5Digest& digest) { return Md5DigestHex(digest); }

std::string DigestOf(const test::TempDir& dir, const std::string& name, const std::string& bytes) {
  test::WriteFile(dir.path() / test::Utf8Path(name), bytes);
  Md5Digest digest{};
  if (!Md5OfFile(JoinPath(dir.str(), name), digest)) return "failed";
  return Hex(digest);
}

TEST(Md5OfFile, KnownDigests) {
  test::TempDir dir;
  EXPECT_EQ(DigestOf(dir, "empty", ""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(DigestOf(dir, "абв.pck", "abc"), "900150983cd24fb0d6963f7d28e17f72");
  // Three read pieces and a few bytes more.
  std::string big(3 * 1024 * 1024 + 5, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7) & 0xFF);
  EXPECT_EQ(DigestOf(dir, "big", big), "e7ad3524250c2f071fe38b9223d94bcc");
}

TEST(Md5OfFile, MissingFileOrFolderFails) {
  test::TempDir dir;
  Md5Digest digest{};
  EXPECT_FALSE(Md5OfFile(JoinPath(dir.str(), "missing"), digest));
  EXPECT_FALSE(Md5OfFile(dir.str(), digest));
}

}  // namespace
}  // namespace tarn

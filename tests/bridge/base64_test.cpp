#include "bridge/base64.h"

#include <gtest/gtest.h>

namespace tarn {
namespace {

TEST(Base64, RoundTripsEveryTailLength) {
  const std::string samples[] = {"", "a", "ab", "abc", "abcd", std::string("\0\xff\x10", 3), "клиент/Мир 1/файл.dat"};
  for (const auto& s : samples) {
    std::string back;
    ASSERT_TRUE(DecodeBase64(EncodeBase64(s), back)) << s;
    EXPECT_EQ(back, s);
  }
  EXPECT_EQ(EncodeBase64("ab"), "YWI=");
  EXPECT_EQ(EncodeBase64("a"), "YQ==");
}

TEST(Base64, SkipsLineBreaksButRefusesForeignCharacters) {
  std::string out;
  EXPECT_TRUE(DecodeBase64(" YW\r\nJj\tZA==\n", out));
  EXPECT_EQ(out, "abcd");
  EXPECT_FALSE(DecodeBase64("YW*j", out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(DecodeBase64("YQ==YQ==", out)) << "padding in the middle";
  EXPECT_FALSE(DecodeBase64("Y", out)) << "a lone symbol carries no byte";
  EXPECT_FALSE(DecodeBase64("YQ===", out));
  EXPECT_FALSE(DecodeBase64("YWJ-", out)) << "the URL alphabet is not standard Base64";
}

TEST(Base64Url, UsesQuerySafeAlphabetAndKeepsPadding) {
  // Bytes chosen so that the standard encoding holds both "+" and "/".
  const std::string path = "\xfb\xff\xbf?";
  EXPECT_EQ(EncodeBase64(path), "+/+/Pw==");
  EXPECT_EQ(EncodeBase64Url(path), "-_-_Pw==");
  std::string back;
  ASSERT_TRUE(DecodeBase64Url("-_-_Pw==", back));
  EXPECT_EQ(back, path);
  EXPECT_FALSE(DecodeBase64Url("+_-_Pw==", back)) << "a raw '+' is not something the launcher sends";
  EXPECT_FALSE(DecodeBase64Url("", back) && !back.empty());
}

}  // namespace
}  // namespace tarn

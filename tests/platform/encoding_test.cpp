// Hex digits and percent escapes, as the checksums, the sealed passwords,
// request targets and file:// addresses use them.
#include "platform/encoding.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/http.h"

namespace tarn {
namespace {

TEST(Encoding, HexAndPercentEscapesRoundTheByteValuesTheirUsersNeed) {
  const std::string bytes("\x00\x0f\x10\x7f\x80\xff", 6);
  EXPECT_EQ(HexText(bytes), "000f107f80ff");
  EXPECT_EQ(HexText(bytes, HexCase::Upper), "000F107F80FF");
  EXPECT_EQ(HexText(""), "");
  for (int b = 0; b < 256; ++b) {
    const std::string two = HexText(std::string(1, static_cast<char>(b)), b % 2 ? HexCase::Upper : HexCase::Lower);
    EXPECT_EQ(HexDigitValue(two[0]) * 16 + HexDigitValue(two[1]), b) << two;
  }
  for (const char c : std::string("gG/:@` \x7f\x80", 10)) EXPECT_EQ(HexDigitValue(c), -1) << static_cast<int>(c);

  // The request line: controls, blanks, non-ASCII and '#' escaped, the
  // rest (a '%' and dot segments included) as written, one leading '/'.
  EXPECT_EQ(WireTarget("api/file?n=a b#c"), "/api/file?n=a%20b%23c");
  EXPECT_EQ(WireTarget("/ТАРН/%41/../x\t\r\n"), "/%D0%A2%D0%90%D0%A0%D0%9D/%41/../x%09%0D%0A");
  EXPECT_EQ(WireTarget(""), "/");
  EXPECT_EQ(PercentEncode(std::string("a\0z", 3), [](unsigned char c) { return c >= 'a'; }), "a%00z");
}

}  // namespace
}  // namespace tarn

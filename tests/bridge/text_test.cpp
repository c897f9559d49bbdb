#include "bridge/text.h"

#include <gtest/gtest.h>

namespace tarn {
namespace {

TEST(Utf, CyrillicRoundTrip) {
  const std::string ready = "готово";
  EXPECT_EQ(ready.size(), 12u);
  const std::u16string wide = Utf8ToWide(ready);
  EXPECT_EQ(wide, u"готово");
  EXPECT_EQ(WideToUtf8(wide), ready);
}

TEST(Utf, AstralCharactersUseSurrogatePairs) {
  const std::string emoji = "\xF0\x9F\x98\x80";  // U+1F600
  const std::u16string wide = Utf8ToWide(emoji);
  ASSERT_EQ(wide.size(), 2u);
  EXPECT_EQ(wide[0], 0xD83D);
  EXPECT_EQ(wide[1], 0xDE00);
  EXPECT_EQ(WideToUtf8(wide), emoji);
}

TEST(Utf, UnpairedSurrogatesBecomeReplacement) {
  EXPECT_EQ(WideToUtf8(std::u16string{u'a', char16_t(0xD800), u'b'}), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(WideToUtf8(std::u16string{char16_t(0xDC00)}), "\xEF\xBF\xBD");
  EXPECT_EQ(WideToUtf8(std::u16string{char16_t(0xD800)}), "\xEF\xBF\xBD");
}

TEST(Utf, IllFormedUtf8BecomesOneReplacementPerMaximalSubpart) {
  // A truncated 3-byte sequence followed by ASCII: one U+FFFD, the ASCII kept.
  EXPECT_EQ(Utf8ToWide("\xE2\x82" "A"), u"\uFFFDA");
  // Lone continuation bytes and bytes that never start a sequence.
  EXPECT_EQ(Utf8ToWide("\x80\xBF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToWide("\xFF"), u"\uFFFD");
  // Encoded surrogates and values past U+10FFFF are ill-formed.
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToWide("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
  // Truncated at the end of the text.
  EXPECT_EQ(Utf8ToWide("ok\xF0\x9F\x98"), u"ok\uFFFD");
}

TEST(Utf, ByteOrderMarkIsKept) {
  EXPECT_EQ(Utf8ToWide("\xEF\xBB\xBFx"), u"\uFEFFx");
  EXPECT_EQ(WideToUtf8(u"\uFEFFx"), "\xEF\xBB\xBFx");
}

TEST(Utf, EmbeddedNulsAreConvertedByLength) {
  const std::string withNul("a\0b", 3);
  EXPECT_EQ(Utf8ToWide(withNul), std::u16string(u"a\0b", 3));
  EXPECT_EQ(WideToUtf8(std::u16string(u"a\0b", 3)), withNul);
}

TEST(JsonEscape, ShortEscapesAndControls) {
  EXPECT_EQ(JsonEscape("\t\n\r\"\\"), "\\t\\n\\r\\\"\\\\");
  EXPECT_EQ(JsonEscape("\x07"), "\\u0007");
  EXPECT_EQ(JsonEscape("\x08\x0c\x1f"), "\\u0008\\u000c\\u001f");
  EXPECT_EQ(JsonEscape(std::string("\0", 1)), "\\u0000");
}

TEST(JsonEscape, PassesEverythingElseUnchanged) {
  EXPECT_EQ(JsonEscape("готово"), "готово");
  EXPECT_EQ(JsonEscape("a/b\x7f"), "a/b\x7f");
  EXPECT_EQ(JsonEscape("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
}

TEST(JsonEscape, ScriptInjectionStaysInsideTheString) {
  // Whatever a service sends, the escaped text cannot close the string.
  const std::string hostile = "\"});alert(1);//</script>\\";
  const std::string escaped = JsonEscape(hostile);
  EXPECT_EQ(escaped, "\\\"});alert(1);//</script>\\\\");
  EXPECT_EQ(JsonUnescape(escaped), hostile);
}

TEST(JsonEscape, IllFormedUtf8IsReplacedSoEventsStayValid) {
  EXPECT_EQ(JsonEscape("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
}

TEST(JsonField, StringValues) {
  EXPECT_EQ(JsonField(R"({"name":"site"})", "name"), "site");
  EXPECT_EQ(JsonField(R"({"name": "site"})", "name"), "site");
  EXPECT_EQ(JsonField("{\"name\":\t\"site\"}", "name"), "site");
  EXPECT_EQ(JsonField(R"({"name" : "site"})", "name"), "");
  EXPECT_EQ(JsonField(R"({"p":"a\"b"})", "p"), "a\\\"b");
  EXPECT_EQ(JsonField(R"({"p":"a\nb\u0041"})", "p"), "a\\nb\\u0041");
  EXPECT_EQ(JsonField(R"({"p":"x\\"})", "p"), "x\\\\");
  EXPECT_EQ(JsonField(R"({"p":""})", "p"), "");
}

TEST(JsonField, FirstTextualOccurrenceWinsAtAnyDepth) {
  EXPECT_EQ(JsonField(R"({"a":{"name":"x"},"name":"y"})", "name"), "x");
}

TEST(JsonField, NestedValuesComeBackWhole) {
  EXPECT_EQ(JsonField(R"({"news":[{"t":"a]"},{"t":"b"}]})", "news"), R"([{"t":"a]"},{"t":"b"}])");
  EXPECT_EQ(JsonField(R"({"n":[1,{"x":[2]}]})", "n"), R"([1,{"x":[2]}])");
  EXPECT_EQ(JsonField(R"({"o":{"a":"}","b":{"c":1}},"z":0})", "o"), R"({"a":"}","b":{"c":1}})");
  // Only the opener's own kind is counted.
  EXPECT_EQ(JsonField(R"({"o":{"a":[}]})", "o"), R"({"a":[})");
  EXPECT_EQ(JsonField(R"({"n":[1,2)", "n"), "");
  EXPECT_EQ(JsonField(R"({"s":["a\"]"]})", "s"), R"(["a\"]"])");
}

TEST(JsonField, BareValues) {
  EXPECT_EQ(JsonField(R"({"ok":true})", "ok"), "true");
  EXPECT_EQ(JsonField(R"({"v": 12 })", "v"), "12 ");
  EXPECT_EQ(JsonField(R"({"v":5])", "v"), "5]");
  EXPECT_EQ(JsonField("{\"v\":7\r\n}", "v"), "7");
  EXPECT_EQ(JsonField(R"({"v":-1,"w":2})", "v"), "-1");
  EXPECT_EQ(JsonField(R"({"v":null)", "v"), "null");
}

TEST(JsonField, MissingOrUnclosed) {
  EXPECT_EQ(JsonField(R"({"p":"abc)", "p"), "");
  EXPECT_EQ(JsonField("", "p"), "");
  EXPECT_EQ(JsonField(R"({"p":)", "p"), "");
  EXPECT_EQ(JsonField(R"({"p":   )", "p"), "");
  EXPECT_EQ(JsonField(R"({"q":"x"})", "p"), "");
  // Line breaks are not skipped before a value.
  EXPECT_EQ(JsonField("{\"p\":\n\"x\"}", "p"), "");
}

TEST(JsonUnescape, DecodesEveryEscape) {
  EXPECT_EQ(JsonUnescape(R"(a\"b\\c\/d\be\ff\ng\rh\ti)"), "a\"b\\c/d\be\ff\ng\rh\ti");
  EXPECT_EQ(JsonUnescape(R"(\u0433\u043e)"), "го");
  EXPECT_EQ(JsonUnescape(R"(\ud83d\ude00)"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(JsonUnescape(R"(\uD83D\uDE00)"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(JsonUnescape("plain"), "plain");
}

TEST(JsonUnescape, BrokenEscapesDoNotLoseText) {
  EXPECT_EQ(JsonUnescape(R"(\ud83dx)"), "\xEF\xBF\xBDx");   // high surrogate alone
  EXPECT_EQ(JsonUnescape(R"(\ude00)"), "\xEF\xBF\xBD");     // low surrogate alone
  EXPECT_EQ(JsonUnescape(R"(\ud83d\u0041)"), "\xEF\xBF\xBD" "A");
  EXPECT_EQ(JsonUnescape(R"(\x)"), "\\x");
  EXPECT_EQ(JsonUnescape(R"(\u12)"), "\\u12");
  EXPECT_EQ(JsonUnescape("end\\"), "end\\");
  EXPECT_EQ(JsonUnescape("a\xFF"), "a\xEF\xBF\xBD");
}

TEST(JsonString, PasswordWithQuotesBackslashesAndCyrillicSurvives) {
  const std::string password = "п\"а\\ро'ль";
  const std::string payload = "{\"login\":\"x\",\"password\":\"" + JsonEscape(password) + "\"}";
  EXPECT_EQ(JsonString(payload, "password"), password);
  EXPECT_EQ(JsonString(payload, "login"), "x");
}

}  // namespace
}  // namespace tarn

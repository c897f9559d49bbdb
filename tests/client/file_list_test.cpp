// The signed list: Base64, the signature check and the parse rules.
#include "client/file_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "bridge/base64.h"
#include "list_signing.h"

namespace tarn {
namespace {

using test::EncodeBase64;

TEST(DecodeBase64, DecodesPaddedUnpaddedAndBrokenText) {
  struct Case {
    std::string_view text;
    std::string_view bytes;
  };
  for (const Case& c : {Case{"", ""}, Case{"YQ==", "a"}, Case{"YWI=", "ab"}, Case{"YWJj", "abc"},
                        Case{"YQ", "a"}, Case{"YWI", "ab"}, Case{" Y W\r\nJj\t", "abc"},
                        Case{"\n  YWJjZA==  \r\n", "abcd"}, Case{"+/+/", "\xfb\xff\xbf"},
                        // Bits no encoder sets in a last letter are ignored, as
                        // platform decoders do (found by fuzzing).
                        Case{"YR", "a"}, Case{"YWJ=", "ab"}}) {
    std::string out = "stale";
    EXPECT_TRUE(DecodeBase64(c.text, out)) << c.text;
    EXPECT_EQ(out, c.bytes) << c.text;
  }
}

TEST(DecodeBase64, RoundTripsEveryByteValue) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t len : {0u, 1u, 2u, 3u, 100u, 256u}) {
    std::string out;
    ASSERT_TRUE(DecodeBase64(EncodeBase64(all.substr(0, len)), out));
    EXPECT_EQ(out, all.substr(0, len));
  }
}

TEST(DecodeBase64, RefusesWhatNoEncoderWrites) {
  for (std::string_view text : {"Y", "YWJjZ", "YQ=a", "YQ===", "YQ=", "Y===", "=", "YW-j", "YW_j", "YWJj\x01",
                                "YWJj.", "YQ==YQ==", "YWJj\xD0\xB0"}) {
    std::string out = "stale";
    EXPECT_FALSE(DecodeBase64(text, out)) << text;
    EXPECT_EQ(out, "") << text;
  }
}

class Signature : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    key_ = new test::TestKey(test::MakeTestKey());
    other_ = new test::TestKey(test::MakeTestKey());
  }
  static void TearDownTestSuite() {
    delete key_;
    delete other_;
  }
  // Fails when the check succeeds, and when a refused check leaves text.
  static void ExpectRefused(std::string_view body, const std::string& why) {
    std::string text = "stale";
    EXPECT_FALSE(VerifyListSignature(body, key_->publicPem, text)) << why;
    EXPECT_EQ(text, "") << why;
  }
  static std::string Sign(std::string_view text) { return test::SignedBody(text, key_->privatePem); }

  static inline test::TestKey* key_ = nullptr;
  static inline test::TestKey* other_ = nullptr;
  const std::string list_ = "# 7\nd41d8cd98f00b204e9800998ecf8427e 0 YS50eHQ=\n";
};

TEST_F(Signature, SignedListVerifiesAndYieldsItsText) {
  std::string text;
  ASSERT_TRUE(VerifyListSignature(Sign(list_), key_->publicPem, text));
  EXPECT_EQ(text, list_);
}

TEST_F(Signature, CarriageReturnsAreNotSigned) {
  // Served with CR LF (and a stray CR mid-line) but signed over LF only.
  std::string crlf;
  for (char c : list_) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  crlf.insert(3, "\r");
  const std::string body = crlf + Sign(list_).substr(list_.size());
  std::string text;
  ASSERT_TRUE(VerifyListSignature(body, key_->publicPem, text));
  EXPECT_EQ(text, list_);
}

TEST_F(Signature, SignatureMayFollowTheMarkerOnItsLineOrAfterBlankLines) {
  const std::string b64 = EncodeBase64(test::SignBytes(list_, key_->privatePem));
  std::string text;
  EXPECT_TRUE(VerifyListSignature(list_ + std::string(kSignatureMarker) + b64, key_->publicPem, text));
  EXPECT_TRUE(VerifyListSignature(list_ + std::string(kSignatureMarker) + "\r\n\r\n \t" + b64 + "\r\n\r\n",
                                  key_->publicPem, text));
  // The marker need not start a line: only the bytes before it count.
  const std::string noLf = "abc";
  EXPECT_TRUE(VerifyListSignature(Sign(noLf), key_->publicPem, text));
  EXPECT_EQ(text, "abc");
}

TEST_F(Signature, AnyChangeToTheSignedBytesOrTheSignatureIsRefused) {
  const std::string body = Sign(list_);
  const size_t marker = body.find(kSignatureMarker);

  std::string changed = body;
  changed[5] ^= 0x01;
  ExpectRefused(changed, "one byte of the list changed");
  ExpectRefused(body.substr(0, marker - 1) + body.substr(marker), "the LF before the marker dropped");
  ExpectRefused(body.substr(0, marker) + "\n" + body.substr(marker), "an LF added before the marker");

  const std::string sigText = body.substr(marker + kSignatureMarker.size());
  ExpectRefused(body.substr(0, marker) + sigText, "no marker");
  ExpectRefused(body.substr(0, marker) + "-----BEGIN ELEMENT SIGNATURE----" + sigText, "a marker one dash short");
  ExpectRefused(body + std::string(kSignatureMarker) + sigText, "a second marker and signature");
  ExpectRefused(body + "garbage", "trailing garbage");
  ExpectRefused(body + "QUJD", "trailing Base64");
  ExpectRefused(body.substr(0, body.size() - 10) + "\n", "a truncated signature");
  ExpectRefused(body.substr(0, marker + kSignatureMarker.size()) + " \r\n\t\n", "only whitespace after the marker");
  ExpectRefused(std::string(kSignatureMarker).substr(0, 32), "shorter than the marker");
  ExpectRefused("", "empty");
  ExpectRefused(test::SignedBody(list_, other_->privatePem), "signed with another key");

  std::string text;
  EXPECT_FALSE(VerifyListSignature(body, "not a key", text));
  EXPECT_FALSE(VerifyListSignature(body, other_->publicPem, text));
  EXPECT_EQ(text, "");
}

FileList Parse(std::string_view text) { return ParseFileList(text); }

std::string Line(std::string_view md5, std::string_view size, std::string_view path) {
  return std::string(md5) + " " + std::string(size) + " " + EncodeBase64(path) + "\n";
}

TEST(ParseFileList, CommentsCarryTheBuildNumberAndThePacksFlag) {
  EXPECT_EQ(Parse("# 1234\n").version, 1234);
  EXPECT_EQ(Parse("#1234 and more words\n").version, 1234);
  EXPECT_EQ(Parse("#\t 12\n# 34\n").version, 12);
  EXPECT_EQ(Parse("# build 5\n").version, -1);
  EXPECT_EQ(Parse("#   \n#\n").version, -1);
  EXPECT_EQ(Parse("# 99999999999999999999\n").version, std::numeric_limits<int32_t>::max());

  EXPECT_TRUE(Parse("# 3\n").hasPacks);
  EXPECT_FALSE(Parse("# без паков\n").hasPacks);
  EXPECT_FALSE(Parse("#без паков, только exe\n").hasPacks);
  EXPECT_TRUE(Parse("# собрано без паков\n").hasPacks);
  EXPECT_TRUE(Parse("# Без паков\n").hasPacks);
  // The packs comment is not a number, and a number after it still counts.
  const FileList both = Parse("# без паков\n# 9\n");
  EXPECT_FALSE(both.hasPacks);
  EXPECT_EQ(both.version, 9);
}

TEST(ParseFileList, SizesAreKnownOnlyWhenEveryDataLineHasOne) {
  const FileList sized = Parse(Line("aa", "10", "a") + Line("bb", "32", "b"));
  EXPECT_TRUE(sized.sizesKnown);
  EXPECT_EQ(sized.totalSize, 42u);

  const FileList mixed = Parse(Line("aa", "10", "a") + "bb " + EncodeBase64("b") + "\n");
  ASSERT_EQ(mixed.entries.size(), 2u);
  EXPECT_EQ(mixed.entries[1].size, 0u);
  EXPECT_FALSE(mixed.sizesKnown);
  EXPECT_EQ(mixed.totalSize, 0u);

  EXPECT_FALSE(Parse("# 1\n").sizesKnown);
  EXPECT_FALSE(Parse("").sizesKnown);

}

TEST(ParseFileList, SizesThatDoNotReadOrAddUpPastAnyDiskMakeTheListUnusable) {
  const std::string max = std::to_string(kMaxListTotalBytes);
  struct Case {
    std::string text;
    ListDefect defect;
    const char* at;  // the path the defect names
  };
  const Case cases[] = {
      {Line("aa", max, "a"), ListDefect::None, ""},
      {Line("aa", std::to_string(kMaxListTotalBytes - 1), "a") + Line("bb", "1", "b"), ListDefect::None, ""},
      {Line("aa", "18446744073709551615", "a"), ListDefect::BadSize, "a"},  // 2^64 - 1
      {Line("aa", "9223372036854775808", "a") + Line("bb", "9223372036854775808", "b"), ListDefect::BadSize, "a"},
      {Line("aa", "1", "a") + Line("bb", "12345678901234567890123456", "b"), ListDefect::BadSize, "b"},
      {Line("aa", "12abc", "a"), ListDefect::BadSize, "a"},
      {Line("aa", "x", "a"), ListDefect::BadSize, "a"},
      {Line("aa", "-1", "a"), ListDefect::BadSize, "a"},
      {Line("aa", "+1", "a"), ListDefect::BadSize, "a"},
      // A bad size on a line that is skipped still spoils the list.
      {Line("aa", "1", "a") + Line("bb", "1x", "../b"), ListDefect::BadSize, "..\\b"},
      {Line("aa", max, "a") + Line("bb", "1", "b") + Line("cc", "1", "c"), ListDefect::SizesTooLarge, "b"},
      {Line("aa", max, "a") + Line("bb", max, "b"), ListDefect::SizesTooLarge, "b"},
  };
  for (const Case& c : cases) {
    const FileList list = Parse(c.text);
    EXPECT_EQ(list.defect, c.defect) << c.text;
    EXPECT_EQ(list.defectPath, c.at) << c.text;
    EXPECT_LE(list.totalSize, kMaxListTotalBytes) << c.text;
    EXPECT_EQ(list.sizesKnown, c.defect == ListDefect::None) << c.text;
  }
}

TEST(ParseFileList, AnEntryNamedLikeAnothersPartFileMakesTheListUnusable) {
  struct Case {
    std::vector<const char*> paths;
    const char* owner;  // nullptr: no clash
    const char* part;
  };
  const Case cases[] = {
      {{"x", "x.part"}, "x", "x.part"},
      {{"x.part", "x"}, "x", "x.part"},
      {{"sub/a.pck", "sub\\a.pck.part"}, "sub\\a.pck", "sub\\a.pck.part"},
      // Windows folds case and drops trailing dots and blanks of a name.
      {{"Data/A.PCK", "data/a.pck.PART"}, "Data\\A.PCK", "data\\a.pck.PART"},
      {{"Файл.dat", "фАЙЛ.DAT.part"}, "Файл.dat", "фАЙЛ.DAT.part"},
      {{"ЁЖ", "ёж.part"}, "ЁЖ", "ёж.part"},
      {{"x", "x.part."}, "x", "x.part."},
      {{"x", "x.part "}, "x", "x.part "},
      {{"dir./x", "dir/x.part"}, "dir.\\x", "dir\\x.part"},
      {{"x.", "x..part"}, "x.", "x..part"},
      {{"x.part"}, nullptr, nullptr},
      {{"x", "x.part2", "x.par", "xx.part", "y/x.part", "x.part/y"}, nullptr, nullptr},
      {{"x.", "x.part"}, nullptr, nullptr},  // "x." downloads through "x..part"
      {{"a.part", "a.part.part"}, "a.part", "a.part.part"},
  };
  for (const Case& c : cases) {
    std::string text;
    for (const char* path : c.paths) text += Line("aa", "1", path);
    const FileList list = Parse(text);
    const std::string name = text;
    ASSERT_EQ(list.entries.size(), c.paths.size()) << name;
    if (!c.owner) {
      EXPECT_EQ(list.defect, ListDefect::None) << name;
      continue;
    }
    EXPECT_EQ(list.defect, ListDefect::PartNameTaken) << name;
    EXPECT_EQ(list.defectOwner, c.owner) << name;
    EXPECT_EQ(list.defectPath, c.part) << name;
    EXPECT_FALSE(list.sizesKnown);
  }
}

TEST(ParseFileList, TokensAreSplitAtRunsOfBlanks) {
  const std::string p = EncodeBase64("data/x.pck");
  const FileList list = Parse("  ABCdef \t 7\t\t" + p + "   \r\n" +  // leading blanks, trailing spaces
                              "aa 1 " + p + "\t\n" +                   // a trailing tab separates nothing
                              "bb 2 " + p + " extra tokens\n" +        // tokens after the third are ignored
                              "lonely\n" +                             // one token: skipped
                              "bb 2 " + p + "\n");                     // kept, though they spoil the list
  ASSERT_EQ(list.entries.size(), 4u);
  EXPECT_EQ(list.entries[0].md5, "ABCdef");
  EXPECT_EQ(list.entries[0].size, 7u);
  for (const FileEntry& e : list.entries) EXPECT_EQ(e.path, "data\\x.pck");
  EXPECT_EQ(list.defect, ListDefect::PathRepeated);
}

TEST(ParseFileList, AFileNamedTwiceInAnySpellingWindowsTakesForOneMakesTheListUnusable) {
  struct Case {
    std::vector<const char*> paths;
    const char* first;  // nullptr: every path names a file of its own
    const char* again;
  };
  const Case cases[] = {
      {{"a", "b", "a"}, "a", "a"},
      {{"a/b", "a\\b"}, "a\\b", "a\\b"},
      {{"a\\b", "A\\B"}, "a\\b", "A\\B"},
      {{"Data/Файл.pck", "data/фАЙЛ.PCK"}, "Data\\Файл.pck", "data\\фАЙЛ.PCK"},
      {{"dir/x", "dir./x."}, "dir\\x", "dir.\\x."},
      {{"x", "x "}, "x", "x "},
      // The first repeat in list order is named, before any ".part" clash.
      {{"y", "y.part", "z", "Z", "y"}, "z", "Z"},
      {{"a", "a.b", "ab", "a/b", "b/a", "aa", "a\\b\\c"}, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    std::string text = "# 7\n";
    for (const char* path : c.paths) text += Line("aa", "1", path);
    const FileList list = Parse(text);
    ASSERT_EQ(list.entries.size(), c.paths.size()) << text;
    if (!c.first) {
      EXPECT_EQ(list.defect, ListDefect::None) << text;
      EXPECT_TRUE(list.sizesKnown) << text;
      continue;
    }
    EXPECT_EQ(list.defect, ListDefect::PathRepeated) << text;
    EXPECT_EQ(list.defectOwner, c.first) << text;
    EXPECT_EQ(list.defectPath, c.again) << text;
    EXPECT_FALSE(list.sizesKnown) << text;
    EXPECT_EQ(list.totalSize, 0u) << text;
  }
}

TEST(ParseFileList, PathsAreBase64WithEitherSeparator) {
  const FileList list = Parse(Line("aa", "1", "a/b\\c.txt") + Line("bb", "1", "Игры/файл с пробелом.dat") +
                              "cc 1 !!notbase64!!\n" + "dd 1 ====\n" + Line("ee", "1", "") +
                              Line("ff", "1", std::string("bad\xFF", 4)));
  ASSERT_EQ(list.entries.size(), 3u);
  EXPECT_EQ(list.entries[0].path, "a\\b\\c.txt");
  EXPECT_EQ(list.entries[1].path, "Игры\\файл с пробелом.dat");
  // Ill-formed UTF-8 is kept as U+FFFD, as everywhere text enters the program.
  EXPECT_EQ(list.entries[2].path, "bad\xEF\xBF\xBD");
}

TEST(ParseFileList, PathsThatCouldLeaveTheClientFolderAreDropped) {
  std::string text;
  for (std::string_view bad : std::initializer_list<std::string_view>{"../evil.dll", "a/../../evil", "a/..", "..", ".", "./a", "a/./b", "/etc/passwd",
                               "\\Windows\\evil", "C:/evil", "C:evil", "a/b:stream", "a//b", "a/", "a\\\\b",
                               "a\nb", std::string_view("a\0b", 3), "tab\there", "a/.../b", "a/.. /b", " "})
    text += Line("bad", "1", bad);
  text += Line("good", "1", "..hidden/a..b/.c");
  const FileList list = Parse(text);
  ASSERT_EQ(list.entries.size(), 1u);
  EXPECT_EQ(list.entries[0].path, "..hidden\\a..b\\.c");
  EXPECT_EQ(list.totalSize, 1u);
}

TEST(ParseFileList, NothingUsableGivesAnEmptyList) {
  for (std::string_view text : {"", "\n\n", "# 5\n# без паков\n", "   \r\n\r\n"}) {
    const FileList list = Parse(text);
    EXPECT_TRUE(list.entries.empty()) << text;
    EXPECT_EQ(list.totalSize, 0u);
  }
  // The last line needs no LF.
  EXPECT_EQ(Parse("aa 1 " + EncodeBase64("x")).entries.size(), 1u);
}

TEST(ClientFilePath, ListSeparatorsBecomeNativeOnlyWhenJoined) {
  EXPECT_EQ(ClientFilePath("/games/tarn", "data\\models\\a.pck"), "/games/tarn/data/models/a.pck");
  EXPECT_TRUE(SameChecksum("D41D8CD98F00B204E9800998ECF8427E", "d41d8cd98f00b204e9800998ecf8427e"));
  EXPECT_FALSE(SameChecksum("d41d8cd98f00b204e9800998ecf8427e", "d41d8cd98f00b204e9800998ecf8427"));
}

}  // namespace
}  // namespace tarn

// The launcher's release record: what the launcher accepts, and every
// refusal, from records signed in the test with keys made for the run.
#include "client/launcher_release.h"

#include <gtest/gtest.h>

#include <string>

#include "bridge/base64.h"
#include "tools/common/crypto.h"

namespace tarn::test {
namespace {

struct Key {
  std::string privatePem, publicPem;
};

Key NewKey() {
  Key k;
  std::string error;
  EXPECT_TRUE(tools::GenerateKeyPair(k.privatePem, k.publicPem, error)) << error;
  return k;
}

std::string Signed(const std::string& text, const Key& key) {
  std::string signature, error;
  EXPECT_TRUE(tools::SignRsaSha256(key.privatePem, text, signature, error)) << error;
  return text + std::string(kReleaseSignatureMarker) + "\n" + EncodeBase64(signature) + "\n";
}

const std::string kSha(64, 'a');
constexpr int64_t kIssued = 1'800'000'000;
constexpr int64_t kNow = kIssued + 3600;

std::string Text(const std::string& version = "1.2.0", const std::string& serial = "7",
                 const std::string& extra = "") {
  return "tarn-launcher-release 1\nversion " + version + "\nserial " + serial + "\nissued " + std::to_string(kIssued) +
         "\nexpires " + std::to_string(kIssued + 30 * 86400) + "\npackage tarn-launcher\nfile linux tarn_1.2.0.deb 1234 " +
         kSha + "\n" + extra;
}

TEST(LauncherRelease, EachRecordGetsItsVerdict) {
  const Key trusted = NewKey(), second = NewKey(), stranger = NewKey();
  const std::string good = Signed(Text(), trusted);
  std::string flipped = good;
  flipped[flipped.find("1.2.0")] = '9';  // a changed byte under a valid signature
  struct Row {
    const char* what;
    std::string body;
    int32_t floor;
    int64_t now;
    ReleaseVerdict verdict;
  };
  const Row rows[] = {
      {"newer", good, -1, kNow, ReleaseVerdict::Newer},
      {"same serial again", good, 7, kNow, ReleaseVerdict::Newer},
      {"the rotation's second key", Signed(Text(), second), -1, kNow, ReleaseVerdict::Newer},
      {"a later launcher's lines", Signed(Text("1.2.0", "7", "mirror https://x\n"), trusted), -1, kNow,
       ReleaseVerdict::Newer},
      {"not newer", Signed(Text("1.0"), trusted), -1, kNow, ReleaseVerdict::NotNewer},
      {"older", Signed(Text("0.9.9"), trusted), -1, kNow, ReleaseVerdict::NotNewer},
      {"an untrusted key", Signed(Text(), stranger), -1, kNow, ReleaseVerdict::BadSignature},
      {"a changed byte", flipped, -1, kNow, ReleaseVerdict::BadSignature},
      {"no signature", Text(), -1, kNow, ReleaseVerdict::BadSignature},
      {"past the size bound", Signed(Text() + std::string(kLauncherReleaseCapBytes, '#') + "\n", trusted), -1, kNow,
       ReleaseVerdict::BadSignature},
      {"replayed: serial below the floor", good, 8, kNow, ReleaseVerdict::OlderSerial},
      {"expired", good, -1, kIssued + 30 * 86400, ReleaseVerdict::Expired},
      {"a clock behind is no refusal", good, -1, kIssued - 10 * 86400, ReleaseVerdict::Newer},
      {"bad version", Signed(Text("1.x"), trusted), -1, kNow, ReleaseVerdict::Malformed},
      {"five parts", Signed(Text("1.2.3.4.5"), trusted), -1, kNow, ReleaseVerdict::Malformed},
      {"negative serial", Signed(Text("1.2", "-1"), trusted), -1, kNow, ReleaseVerdict::Malformed},
      {"serial twice", Signed(Text("1.2", "7", "serial 9\n"), trusted), -1, kNow, ReleaseVerdict::Malformed},
      {"a file into a folder", Signed(Text("1.2", "7", "file windows ../setup.exe 5 " + kSha + "\n"), trusted), -1,
       kNow, ReleaseVerdict::Malformed},
      {"a hidden file", Signed(Text("1.2", "7", "file windows .setup.exe 5 " + kSha + "\n"), trusted), -1, kNow,
       ReleaseVerdict::Malformed},
      {"a file named as the record", Signed(Text("1.2", "7", "file windows release 5 " + kSha + "\n"), trusted), -1,
       kNow, ReleaseVerdict::Malformed},
      {"a short hash", Signed(Text("1.2", "7", "file windows s.exe 5 abc\n"), trusted), -1, kNow,
       ReleaseVerdict::Malformed},
      {"an empty file", Signed(Text("1.2", "7", "file windows s.exe 0 " + kSha + "\n"), trusted), -1, kNow,
       ReleaseVerdict::Malformed},
      {"a huge file", Signed(Text("1.2", "7", "file windows s.exe 99999999999 " + kSha + "\n"), trusted), -1, kNow,
       ReleaseVerdict::Malformed},
      {"linux twice", Signed(Text("1.2", "7", "file linux b.deb 5 " + kSha + "\n"), trusted), -1, kNow,
       ReleaseVerdict::Malformed},
      {"cut mid-line", Signed(Text().substr(0, Text().size() - 1), trusted), -1, kNow, ReleaseVerdict::Malformed},
      {"another header", Signed("tarn-launcher-release 2\n" + Text().substr(24), trusted), -1, kNow,
       ReleaseVerdict::Malformed},
  };
  for (const Row& row : rows) {
    const ReleaseCheck check =
        CheckLauncherRelease(row.body, {{"", trusted.publicPem, second.publicPem}, row.floor, row.now, "1.0.0"});
    EXPECT_EQ(check.verdict, row.verdict) << row.what;
    EXPECT_FALSE(ReleaseVerdictText(check).empty()) << row.what;
  }
  const ReleaseCheck behind = CheckLauncherRelease(good, {{trusted.publicPem}, -1, kIssued - 10 * 86400, "1.0"});
  EXPECT_TRUE(behind.clockBehind);
  const ReleaseCheck newer = CheckLauncherRelease(good, {{trusted.publicPem}, -1, kNow, "1.0"});
  EXPECT_FALSE(newer.clockBehind);
  ASSERT_NE(ReleaseFileFor(newer.release, "linux"), nullptr);
  EXPECT_EQ(ReleaseFileFor(newer.release, "linux")->size, 1234u);
  EXPECT_EQ(ReleaseFileFor(newer.release, "windows"), nullptr);
  // What the publisher writes is what the launcher reads back.
  EXPECT_EQ(LauncherReleaseText(newer.release), Text());
}

TEST(LauncherRelease, VersionsCompareByTheirNumbers) {
  struct Row {
    const char *a, *b;
    std::optional<int> order;
  } const rows[] = {
      {"1.2", "1.2.0", 0},   {"1.10", "1.9", 1},     {"1.2.0.1", "1.2", 1}, {"0.9", "1", -1},
      {"9.9.9", "1.0.0", 1}, {"1..2", "1", {}},      {"", "1", {}},         {"1.2a", "1", {}},
      {"1234567", "1", {}},  {"1.2.3.4.5", "1", {}}, {"-1", "1", {}},
  };
  for (const Row& r : rows) EXPECT_EQ(CompareVersions(r.a, r.b), r.order) << r.a << " vs " << r.b;
  EXPECT_TRUE(CompareVersions(LauncherVersion(), LauncherVersion()).has_value());
}

}  // namespace
}  // namespace tarn::test

// The launcher's own update end to end on Linux: the headless launcher, a
// copy in a folder of its own, against the reference service with a record
// the publisher signed with the demo key the launcher trusts. The record
// names 9.9.9 and a package that holds this very build of the program: the
// record's version is what is compared, so that is a fair test of the swap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "bridge/base64.h"
#include "client/launcher_release.h"
#include "platform/crypto.h"
#include "platform/file_lock.h"
#include "platform/unicode.h"
#include "support/launcher.h"
#include "support/run_program.h"
#include "support/service_launcher.h"
#include "tools/common/crypto.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::ScriptLine;
using test::WriteFile;

const std::string kOffer = R"({"launcherUpdate":{"version":"9.9.9"}})";
const std::string kDone = R"({"launcherUpdate":{"version":"9.9.9","done":true}})";
const std::string kClosed = R"({"host":{"window":"close"}})";

int Shell(const std::string& command) { return std::system(command.c_str()); }
std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class LauncherUpdateEndToEnd : public test::ServiceLauncherTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(MakeSite({"--size-mib", "1", "--files", "4"}));
    PlaceLauncher();
    StartService();
    WriteFile(launcher_ / "ui" / "index.html", "old page");
    // The package: this build's program under the name it runs by, and a
    // page that tells the new one from the old.
    const fs::path tree = root_.path() / "deb";
    const fs::path lib = tree / "usr" / "lib" / "tarn-launcher";
    fs::create_directories(lib / "ui");
    fs::create_directories(tree / "DEBIAN");
    fs::copy_file(test::HeadlessProgram(), lib / exe_.filename());
    WriteFile(lib / "ui" / "index.html", "new page");
    WriteFile(tree / "DEBIAN" / "control",
              "Package: tarn-launcher\nVersion: 9.9.9\nArchitecture: amd64\nMaintainer: t <t@t>\nDescription: t\n");
    deb_ = root_.path() / "tarn-launcher_9.9.9_amd64.deb";
    ASSERT_EQ(Shell("dpkg-deb -Zgzip -b " + Q(tree) + " " + Q(deb_) + " >/dev/null"), 0);
    oldProgram_ = ReadFile(exe_);
  }

  int PublishRecord(const std::string& extra = "") {
    return Shell(Q(test::PublishProgram()) + " launcher --site " + Q(site_) + " --key " + Q(test::DemoPrivateKey()) +
                 " --version 9.9.9 --linux " + Q(deb_) + " " + extra + " >/dev/null");
  }
  // A record signed with the demo key as the publisher would, but with
  // fields it would not write (an expiry in the past).
  void SignRecord(const LauncherRelease& release) {
    std::string signature, error;
    const std::string text = LauncherReleaseText(release);
    ASSERT_TRUE(tools::SignRsaSha256(ReadFile(test::DemoPrivateKey()), text, signature, error)) << error;
    WriteFile(Record(), text + std::string(kReleaseSignatureMarker) + "\n" + EncodeBase64(signature) + "\n");
  }
  fs::path Record() const { return site_ / "TRN" / "launcher" / "release"; }
  fs::path Served() const { return site_ / "TRN" / "launcher" / deb_.filename(); }
  // Whether launcher.log (UTF-16) holds the text.
  bool Logged(const std::string& text) const {
    return test::LogUnits(ReadFile(launcher_ / "launcher.log")).find(Utf8ToWide(text)) != std::u16string::npos;
  }
  std::vector<std::string> Start(const std::string& more = "") {
    return RunScript(ScriptLine("ui.ready") + ":wait\n" + more);
  }
  std::vector<std::string> Update() { return Start(ScriptLine("launcher.update") + ":wait\n"); }
  // The old launcher is as it was and runs.
  void ExpectOldLauncher() {
    EXPECT_EQ(ReadFile(exe_), oldProgram_);
    EXPECT_EQ(ReadFile(launcher_ / "ui" / "index.html"), "old page");
    EXPECT_FALSE(fs::exists(launcher_ / "data" / "upgrade"));
  }

  fs::path deb_;
  std::string oldProgram_;
};

TEST_F(LauncherUpdateEndToEnd, AGoodRecordIsOfferedInstalledAndTheNextStartRunsTheNewLauncher) {
  // No record on the service: nothing offered, one quiet log line.
  EXPECT_FALSE(Has(Start(), kOffer));
  ASSERT_EQ(PublishRecord(), 0);
  EXPECT_TRUE(Has(Start(), kOffer));
  EXPECT_EQ(ReadFile(launcher_ / "data" / "launcher.serial"), "1\n");

  const std::vector<std::string> lines = Update();
  EXPECT_TRUE(Has(lines, kDone));
  EXPECT_TRUE(Has(lines, kClosed));
  EXPECT_EQ(ReadFile(launcher_ / "ui" / "index.html"), "new page");
  EXPECT_EQ(ReadFile(exe_), ReadFile(test::HeadlessProgram()));
  EXPECT_TRUE(fs::exists(exe_.string() + ".old"));
  EXPECT_FALSE(fs::exists(launcher_ / "data" / "upgrade"));
  EXPECT_FALSE(fs::exists(launcher_ / "data" / deb_.filename()));
  EXPECT_TRUE(Logged("лаунчер 9.9.9 на месте"));

  // The next start is the new program: it removes the old one it replaced,
  // and runs as a launcher does.
  Start();
  EXPECT_FALSE(fs::exists(exe_.string() + ".old"));
  EXPECT_FALSE(fs::exists(launcher_ / "ui.old"));
}

TEST_F(LauncherUpdateEndToEnd, EveryRefusedRecordLeavesTheOldLauncherAndSaysWhy) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  const std::string sha(64, 'b');
  LauncherRelease release{"9.9.9", 4, now - 100, now + 86400, "tarn-launcher", {{"linux", "x.deb", 10, sha}}};

  ASSERT_EQ(PublishRecord("--serial 5"), 0);
  const std::string five = ReadFile(Record());
  std::string tampered = five;
  tampered.replace(tampered.find("9.9.9"), 5, "9.9.8");
  WriteFile(Record(), tampered);
  EXPECT_FALSE(Has(Update(), kDone));
  EXPECT_TRUE(Logged("подпись записи не сходится"));
  EXPECT_FALSE(fs::exists(launcher_ / "data" / "launcher.serial"));

  WriteFile(Record(), five);
  EXPECT_TRUE(Has(Start(), kOffer));  // accepted: serial 5 is the floor now
  ASSERT_NO_FATAL_FAILURE(SignRecord(release));  // a validly signed replay of serial 4
  EXPECT_FALSE(Has(Update(), kDone));
  EXPECT_TRUE(Logged("номер записи 4 ниже уже принятого"));

  release.serial = 6;
  release.issued = now - 3 * 86400;
  release.expires = now - 86400;
  ASSERT_NO_FATAL_FAILURE(SignRecord(release));
  EXPECT_FALSE(Has(Update(), kDone));
  EXPECT_TRUE(Logged("срок записи истёк"));

  release.expires = now + 86400;
  release.version = "1.0.0";
  ASSERT_NO_FATAL_FAILURE(SignRecord(release));
  EXPECT_FALSE(Has(Start(), kOffer));
  EXPECT_TRUE(Logged("лаунчер 1.0.0 не новее этого"));
  ExpectOldLauncher();
}

TEST_F(LauncherUpdateEndToEnd, ABadDownloadLeavesTheOldLauncherAndTheNextTryResumes) {
  ASSERT_EQ(PublishRecord(), 0);
  const std::string good = ReadFile(Served());
  // Other bytes of the same size: the signed hash catches them.
  std::string wrong = good;
  wrong[wrong.size() / 2] ^= 1;
  WriteFile(Served(), wrong);
  EXPECT_FALSE(Has(Update(), kDone));
  EXPECT_TRUE(Logged("SHA-256 не сошёлся"));
  ExpectOldLauncher();
  EXPECT_FALSE(fs::exists(launcher_ / "data" / deb_.filename()));
  WriteFile(Served(), good);

  // A connection cut part-way: the part stays, the launcher as it was.
  ASSERT_TRUE(service_.SetFaults("--cut-after 2000*1"));
  EXPECT_FALSE(Has(Update(), kDone));
  EXPECT_TRUE(Logged("загрузка не удалась"));
  ExpectOldLauncher();
  const fs::path part = launcher_ / "data" / (deb_.filename().string() + ".part");
  ASSERT_TRUE(fs::exists(part));

  // A launcher killed mid-download: the old one stays, the lock goes with
  // the killed one, and the next asks only for the rest.
  ASSERT_TRUE(service_.SetFaults("--throttle 1000000"));
  test::TempDir io;
  WriteFile(io.path() / "in", ScriptLine("ui.ready") + ":wait\n" + ScriptLine("launcher.update") + ":wait\n");
  const auto killed = test::RunProgram(
      "/bin/sh", "",
      {"-c", "'" + exe_.string() + "' < '" + (io.path() / "in").string() +
                 "' > /dev/null 2>&1 & p=$!; sleep 2; kill -9 $p; wait $p; exit 0"});
  ASSERT_EQ(killed.exitCode, 0) << killed.err;
  ExpectOldLauncher();
  const uintmax_t kept = fs::file_size(part);
  ASSERT_GT(kept, 2000u);
  ASSERT_LT(kept, good.size());
  ASSERT_TRUE(service_.SetFaults(""));
  EXPECT_TRUE(Has(Update(), kDone));
  bool ranged = false;
  for (const test::AccessEntry& e : service_.AccessLog())
    if (e.target.find(deb_.filename().string()) != std::string::npos && e.range == "bytes=" + std::to_string(kept) + "-")
      ranged = true;
  EXPECT_TRUE(ranged);
  EXPECT_EQ(ReadFile(launcher_ / "ui" / "index.html"), "new page");
}

TEST_F(LauncherUpdateEndToEnd, ASecondLauncherDoesNotStartASecondUpdate) {
  ASSERT_EQ(PublishRecord(), 0);
  fs::create_directories(launcher_ / "data");
  {
    // Another launcher of this folder in the middle of its update.
    const FileLock other = TryLockFile((launcher_ / "data" / "launcher-update.lock").string());
    ASSERT_TRUE(other.ok());
    EXPECT_FALSE(Has(Update(), kDone));
    EXPECT_TRUE(Logged("другой лаунчер уже обновляется"));
    ExpectOldLauncher();
  }
  EXPECT_TRUE(Has(Update(), kDone));
}

// Windows keeps a running installer's file, so an update notes it for the
// next start (the Wine run is WindowParity's). The note takes only the
// bytes the record named, from beside itself: a name leading out of the
// data folder, or the player's accounts under a wrong hash, stay.
TEST_F(LauncherUpdateEndToEnd, OnlyTheInstallerAnUpdateHandedOverGoesAtTheNextStart) {
  const fs::path data = launcher_ / "data";
  fs::create_directories(data);
  const auto hashOf = [](const std::string& bytes) {
    Sha256Digest digest{};
    EXPECT_TRUE(Sha256Of(bytes, digest));
    return Sha256DigestHex(digest);
  };
  WriteFile(root_.path() / "outside.exe", "outside");
  WriteFile(data / "accounts.dat", "accounts");
  for (const std::string& note : {"../outside.exe " + hashOf("outside"), "accounts.dat " + std::string(64, 'a'),
                                  std::string("accounts.dat"), std::string(300, 'x')}) {
    WriteFile(data / "launcher-update.handed", note + "\n");
    Start();
    EXPECT_FALSE(fs::exists(data / "launcher-update.handed")) << note;
  }
  EXPECT_EQ(ReadFile(root_.path() / "outside.exe"), "outside");
  EXPECT_EQ(ReadFile(data / "accounts.dat"), "accounts");

  WriteFile(data / "tarn-launcher-setup.exe", "installer");
  WriteFile(data / "launcher-update.handed", "tarn-launcher-setup.exe " + hashOf("installer") + "\n");
  Start();
  EXPECT_FALSE(fs::exists(data / "tarn-launcher-setup.exe"));
  EXPECT_FALSE(fs::exists(data / "launcher-update.handed"));
}

}  // namespace
}  // namespace tarn

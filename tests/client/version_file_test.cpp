// The client's version file, against real files; the hasher keeps to the
// same rule of regular files only.
#include "client/version_file.h"
#include "platform/crypto.h"
#include "wiring/launcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <functional>
#include <thread>

#include "bridge/host_slots.h"
#include "client/install_record.h"
#include "client/version_file.h"
#include "support/launcher.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

using test::DataOnly;

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

// A client below a temporary root, found through the install record, the
// way the launcher finds an installed client.
class VersionFile : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallHostSlots(ctx, DataOnly((root_.path() / "data").string()));
    client_ = root_.path() / "a" / "b" / "c" / "d" / "e" / "client";
    WriteFile(client_ / "ElementClient.exe", "MZ");
    SetConfigValue(launcher.client, "path", client_.string());
  }
  void TearDown() override { InstallHostSlots(ctx, {}); }
  fs::path Default() const { return client_ / "config" / "element" / "version.sw"; }

  test::TempDir root_;
  fs::path client_;
  Launcher launcher;
  LauncherContext& ctx = launcher.context;
};

TEST_F(VersionFile, ReadsTheLeadingNumber) {
  struct Case {
    std::string bytes;
    int32_t build;
  };
  for (const Case& c : {Case{"123 0\n", 123}, Case{"  \t42 0\n", 42}, Case{"-7 0\n", -7}, Case{"abc 5", 0},
                        Case{"", 0}, Case{"99999999999 0\n", INT32_MAX}, Case{"-99999999999", INT32_MIN},
                        Case{std::string(63, ' ') + "5", 0}, Case{std::string(62, ' ') + "5", 5}}) {
    WriteFile(Default(), c.bytes);
    EXPECT_EQ(ReadClientVersion(launcher.client), c.build) << '"' << c.bytes << '"';
  }
  EXPECT_EQ(LeadingNumber("+8x"), 8);
}

// Whether work ends on its own within a few seconds. When it does not, it
// is waiting for a writer of the FIFO; one comes and goes, so the work
// ends and the test can fail instead of hanging.
bool EndsWithoutAWriter(const fs::path& fifo, const std::function<void()>& work) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
  });
  for (int i = 0; i < 300 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const bool ended = done.load();
  if (!ended) {
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) close(fd);
  }
  worker.join();
  return ended;
}

TEST_F(VersionFile, OnlyRegularFilesAreReadAndAFifoIsNeverWaitedOn) {
  fs::create_directories(Default().parent_path());
  ASSERT_EQ(mkfifo(Default().c_str(), 0644), 0);
  int32_t version = 0;
  EXPECT_TRUE(EndsWithoutAWriter(Default(), [&] { version = ReadClientVersion(launcher.client); }));
  EXPECT_EQ(version, -1);
  std::string hex = "stale";
  bool hashed = true;
  EXPECT_TRUE(EndsWithoutAWriter(Default(), [&] { hashed = FileMd5Hex(Default().string(), hex); }));
  EXPECT_FALSE(hashed);
  EXPECT_EQ(hex, "");

  // A device behind a link is no file either; a link to a regular file is.
  fs::remove(Default());
  fs::create_symlink("/dev/null", Default());
  EXPECT_EQ(ReadClientVersion(launcher.client), -1);
  EXPECT_FALSE(FileMd5Hex(Default().string(), hex));
  fs::remove(Default());
  WriteFile(root_.path() / "kept-elsewhere.sw", "77 0\n");
  fs::create_symlink(root_.path() / "kept-elsewhere.sw", Default());
  EXPECT_EQ(ReadClientVersion(launcher.client), 77);
  EXPECT_TRUE(FileMd5Hex(Default().string(), hex));
  EXPECT_EQ(hex, "9a94ef6aaf444c8c165a290ed0a5eedd");  // MD5 of "77 0\n"
}

TEST_F(VersionFile, WithoutAFileItsDefaultPlaceIsNamedAndNothingIsRead) {
  EXPECT_EQ(FindVersionFile(launcher.client), Default().string());
  EXPECT_EQ(ReadClientVersion(launcher.client), -1);
  // A folder in the version file's place is not a version file.
  fs::create_directories(Default());
  EXPECT_EQ(ReadClientVersion(launcher.client), -1);
}

TEST_F(VersionFile, SearchPrefersTheNearestFolderThenTheCandidateOrder) {
  const fs::path third = client_ / "client" / "config" / "element" / "version.sw";
  WriteFile(third, "3 0\n");
  EXPECT_EQ(FindVersionFile(launcher.client), third.string());
  const fs::path second = client_ / "install" / "config" / "element" / "version.sw";
  WriteFile(second, "2 0\n");
  EXPECT_EQ(FindVersionFile(launcher.client), second.string());
  WriteFile(Default(), "1 0\n");
  EXPECT_EQ(ReadClientVersion(launcher.client), 1);

  fs::remove_all(client_ / "config");
  fs::remove_all(client_ / "install");
  fs::remove_all(client_ / "client");
  const fs::path parents = client_.parent_path() / "install" / "config" / "element" / "version.sw";
  WriteFile(parents, "20 0\n");
  EXPECT_EQ(ReadClientVersion(launcher.client), 20);
}

TEST_F(VersionFile, SearchClimbsFourFoldersAndNoFurther) {
  // client, e, d, c, b are searched; a is the sixth folder.
  WriteFile(root_.path() / "a" / "config" / "element" / "version.sw", "6 0\n");
  EXPECT_EQ(ReadClientVersion(launcher.client), -1);
  WriteFile(root_.path() / "a" / "b" / "config" / "element" / "version.sw", "5 0\n");
  EXPECT_EQ(ReadClientVersion(launcher.client), 5);
}

TEST_F(VersionFile, FoundPathIsAbsoluteAndNormalised) {
  SetConfigValue(launcher.client, "path", (client_ / ".." / "client").string());
  WriteFile(Default(), "4 0\n");
  EXPECT_EQ(FindVersionFile(launcher.client), Default().string());
}

TEST_F(VersionFile, WritingCreatesTheFoldersAndReplacesTheWholeFile) {
  ASSERT_TRUE(WriteClientVersion(launcher.client, 17));
  EXPECT_EQ(ReadFile(Default()), "17 0\n");
  EXPECT_EQ(ReadClientVersion(launcher.client), 17);

  // A longer file is replaced, not overwritten in place: a second name for
  // the old file still shows the old bytes, and no temporary file remains.
  WriteFile(Default(), "123456789 0 and a long tail\n");
  fs::create_hard_link(Default(), root_.path() / "old-link");
  ASSERT_TRUE(WriteClientVersion(launcher.client, -3));
  EXPECT_EQ(ReadFile(Default()), "-3 0\n");
  EXPECT_EQ(ReadFile(root_.path() / "old-link"), "123456789 0 and a long tail\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(Default().parent_path()), fs::directory_iterator()), 1);
}

TEST_F(VersionFile, WritingRemovesOnlyTheTemporaryItNoted) {
  const fs::path folder = Default().parent_path();
  const fs::path note = root_.path() / "data" / "client-temp";
  // A client file that looks like the temporary of a writer long gone, and
  // the temporary of a write killed before its rename, noted as such.
  const fs::path listed = folder / "version.sw.99999999.abcdef";
  const fs::path killed = folder / "version.sw.4242.zzzzzz";
  WriteFile(listed, "listed");
  WriteFile(killed, "7 0\n");
  WriteFile(note, killed.string());
  ASSERT_TRUE(WriteClientVersion(launcher.client, 8));
  EXPECT_EQ(ReadFile(listed), "listed");
  EXPECT_FALSE(fs::exists(killed));
  EXPECT_FALSE(fs::exists(note));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
  // A note that names anything but a temporary of version.sw removes nothing.
  for (const fs::path& other : {folder / "a.pck", folder / "version.swx"}) {
    WriteFile(other, "x");
    WriteFile(note, other.string());
    ASSERT_TRUE(WriteClientVersion(launcher.client, 9));
    EXPECT_TRUE(fs::exists(other)) << other;
    EXPECT_FALSE(fs::exists(note));
  }
  EXPECT_EQ(ReadFile(Default()), "9 0\n");
}

TEST_F(VersionFile, WritingGoesWhereTheFileWasFound) {
  const fs::path second = client_ / "install" / "config" / "element" / "version.sw";
  WriteFile(second, "1 0\n");
  ASSERT_TRUE(WriteClientVersion(launcher.client, 2));
  EXPECT_EQ(ReadFile(second), "2 0\n");
  EXPECT_FALSE(fs::exists(Default()));
}

TEST_F(VersionFile, NothingWithoutAClient) {
  fs::remove(client_ / "ElementClient.exe");
  EXPECT_EQ(FindVersionFile(launcher.client), "");
  EXPECT_EQ(ReadClientVersion(launcher.client), -1);
  EXPECT_FALSE(WriteClientVersion(launcher.client, 1));
}

TEST_F(VersionFile, WriteFailsWhenTheFolderCannotBeMade) {
  WriteFile(client_ / "config", "a file where the folder should be");
  EXPECT_FALSE(WriteClientVersion(launcher.client, 1));
}

}  // namespace
}  // namespace tarn

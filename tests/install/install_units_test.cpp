// The installer's pieces that need no service: sizes, the install Event,
// speed and time left on an injected clock, the stage log, the folder rules
// on made-up disks, the mount table, the client guard and the journal's
// folder.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "client/install_folder.h"
#include "client/install_record.h"
#include "client/writer_guard.h"
#include "download/limiter.h"
#include "install/progress.h"
#include "platform/linux/mount_table.h"
#include "platform/paths.h"
#include "support/temp_dir.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t MiB = 1024 * 1024;

TEST(FormatSize, RussianUnitsWithADecimalComma) {
  EXPECT_EQ(FormatSize(0), "0 Б");
  EXPECT_EQ(FormatSize(1023), "1023 Б");
  EXPECT_EQ(FormatSize(1024), "1,00 КБ");
  EXPECT_EQ(FormatSize(1536), "1,50 КБ");
  EXPECT_EQ(FormatSize(10 * MiB), "10,0 МБ");
  EXPECT_EQ(FormatSize(3435973837ull), "3,20 ГБ");
  EXPECT_EQ(FormatSize(1024ull * 1024 * MiB * 1024), "1024,0 ТБ");
  // The space need for 3 GiB: 3 GiB + 96 MiB + 64 MiB.
  EXPECT_EQ(FormatSize(3 * 1024 * MiB + 96 * MiB + 64 * MiB), "3,16 ГБ");
}

TEST(InstallEvent, TwelveKeysInOrderCompactAndEscaped) {
  EXPECT_EQ(InstallEventText(InstallState{}),
            R"({"install":{"stage":"неизвестно","path":"","file":"","error":"","totalBytes":0,"doneBytes":0,)"
            R"("freeBytes":0,"totalFiles":0,"doneFiles":0,"speed":0,"eta":-1,"version":-1}})");
  InstallState s;
  s.stage = InstallStage::Failed;
  s.path = "/игры/\"ТАРН\"";
  s.file = "data\\a.pck";
  s.error = "line\none\t\x01";
  s.totalBytes = 18446744073709551615ull;
  s.doneBytes = 5;
  s.freeBytes = 7;
  s.totalFiles = 300;
  s.doneFiles = 129;
  s.speed = 1234.6;
  s.eta = 42;
  s.version = 3;
  EXPECT_EQ(InstallEventText(s),
            R"({"install":{"stage":"ошибка","path":"/игры/\"ТАРН\"","file":"data\\a.pck","error":"line\none\t\u0001",)"
            R"("totalBytes":18446744073709551615,"doneBytes":5,"freeBytes":7,"totalFiles":300,"doneFiles":129,)"
            R"("speed":1235,"eta":42,"version":3}})");
}

// Catches the Events the install code posts.
class Posted : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallHostSlots(ctx, {.post =
                               [this](const std::string& e) {
                                 std::lock_guard lock(mutex_);
                                 events_.push_back(e);
                               },
                           .open = {},
                           .pickFolder = {},
                           .dataFolder = (dir_.path() / "data").string()});
    std::lock_guard lock(launcher.installStatus.lock);
    launcher.installStatus.state = InstallState{};
  }
  void TearDown() override { InstallHostSlots(ctx, {}); }
  size_t Count() {
    std::lock_guard lock(mutex_);
    return events_.size();
  }
  InstallState Snapshot() {
    std::lock_guard lock(launcher.installStatus.lock);
    return launcher.installStatus.state;
  }

  test::TempDir dir_;
  std::mutex mutex_;
  std::vector<std::string> events_;
  Launcher launcher;
  LauncherContext& ctx = launcher.context;
};

TEST_F(Posted, SpeedIsSampledSmoothedAndLeavesResumedBytesOut) {
  {
    std::lock_guard lock(launcher.installStatus.lock);
    launcher.installStatus.state.totalBytes = 10 * MiB;
  }
  TransferCounters c;
  UpdateTransferProgress(launcher.install, c, 0, 10'000);  // a run's first call always posts
  EXPECT_EQ(Count(), 1u);
  EXPECT_EQ(Snapshot().stage, InstallStage::Downloading);
  EXPECT_EQ(Snapshot().speed, 0);
  EXPECT_EQ(Snapshot().eta, -1);

  UpdateTransferProgress(launcher.install, c, 300'000, 10'300);  // posts, but no sample has closed
  EXPECT_EQ(Count(), 2u);
  EXPECT_EQ(Snapshot().speed, 0);
  EXPECT_EQ(Snapshot().doneBytes, 300'000u);

  UpdateTransferProgress(launcher.install, c, MiB / 2, 10'500);  // 200 ms after the post: no Event; the sample closes
  EXPECT_EQ(Count(), 2u);
  EXPECT_DOUBLE_EQ(Snapshot().speed, 1048576.0);
  EXPECT_EQ(Snapshot().eta, 9);  // 9.5 MiB left at 1 MiB/s, cut to whole seconds

  UpdateTransferProgress(launcher.install, c, MiB, 11'000);
  EXPECT_DOUBLE_EQ(Snapshot().speed, 1048576.0);
  UpdateTransferProgress(launcher.install, c, MiB, 11'400);  // 400 ms is not more than 400 ms: no sample
  EXPECT_DOUBLE_EQ(Snapshot().speed, 1048576.0);
  UpdateTransferProgress(launcher.install, c, MiB, 11'500);  // nothing arrived: 0.7 of the old speed
  EXPECT_DOUBLE_EQ(Snapshot().speed, 1048576.0 * 0.7);
  EXPECT_EQ(Snapshot().eta, static_cast<int64_t>(9 * MiB / (1048576.0 * 0.7)));

  // The file is done; the next resumes from a ".part" file of 4 MiB that
  // arrived in an earlier run. Those bytes are done, not fast.
  c.completedBytes += MiB;
  c.completedFiles += 1;
  StartFileProgress(launcher.install, c, 4 * MiB, 11'600);
  EXPECT_EQ(Snapshot().doneBytes, 5 * MiB);
  EXPECT_EQ(Snapshot().doneFiles, 1u);
  UpdateTransferProgress(launcher.install, c, 4 * MiB + 102'400, 12'000);
  EXPECT_DOUBLE_EQ(Snapshot().speed, 1048576.0 * 0.7 * 0.7 + 102'400 / 0.5 * 0.3);

  // A fresh stretch (after a pause) takes its first sample as it is.
  {
    std::lock_guard lock(launcher.installStatus.lock);
    launcher.installStatus.state.speed = 0;
    launcher.installStatus.state.speedTick = 0;
  }
  StartFileProgress(launcher.install, c, 4 * MiB + 102'400, 20'000);
  UpdateTransferProgress(launcher.install, c, 4 * MiB + 102'400 + 1000, 21'000);
  EXPECT_DOUBLE_EQ(Snapshot().speed, 1000.0);
  EXPECT_EQ(Snapshot().eta, -1);  // 1000 B/s is too slow to promise anything

  UpdateTransferProgress(launcher.install, c, 9 * MiB, 22'000);  // all bytes in: nothing left to wait for
  EXPECT_EQ(Snapshot().doneBytes, 10 * MiB);
  EXPECT_EQ(Snapshot().eta, -1);
}

// The player's limit: a valid "speed.limit" is kept in the data folder,
// applied and announced; anything else changes nothing; a saved file is
// read with suspicion.
TEST_F(Posted, TheSpeedLimitIsKeptAnnouncedAndReadBackWithSuspicion) {
  const fs::path saved = dir_.path() / "data" / "speed.cfg";
  ApplySpeedLimit(launcher.download, "2048");
  EXPECT_EQ(test::ReadFile(saved), "kibps=2048\r\n");
  EXPECT_EQ(DownloadLimit(launcher.download), 2048u * 1024);
  for (const char* refused : {"-5", "2k", "99999999", " 1"}) ApplySpeedLimit(launcher.download, refused);
  ApplySpeedLimit(launcher.download, "");
  EXPECT_EQ(DownloadLimit(launcher.download), 0u);
  {
    std::lock_guard lock(mutex_);
    EXPECT_EQ(events_, (std::vector<std::string>{R"({"limit":{"kibps":2048}})", R"({"limit":{"kibps":0}})"}));
  }
  for (const auto& [text, kibps] : std::vector<std::pair<std::string, uint64_t>>{
           {"kibps=512\r\n", 512}, {"kibps=512", 512}, {"kibps=512\nkibps=9\n", 512}, {"kibps=-1\r\n", 0},
           {"KIBPS=5\r\n", 0}, {"kibps=" + std::string(300, '9'), 0}, {std::string(1000, 'x'), 0}, {"", 0}}) {
    test::WriteFile(saved, text);
    EXPECT_EQ(SavedKibps(ctx), kibps) << text.substr(0, 40);
  }
  fs::remove(saved);
  EXPECT_EQ(SavedKibps(ctx), 0u);
}

TEST_F(Posted, OneLogLinePerChangeOfStage) {
  const auto lines = [] {
    std::string log;
    test::ReadFile(LogPath()).swap(log);
    return log;
  };
  const std::string before = lines();
  for (const InstallStage stage : {InstallStage::Checking, InstallStage::Checking, InstallStage::Downloading,
                                   InstallStage::Downloading, InstallStage::Paused, InstallStage::Downloading}) {
    {
      std::lock_guard lock(launcher.installStatus.lock);
      launcher.installStatus.state.stage = stage;
      launcher.installStatus.state.totalFiles = 3;
    }
    PostInstallEvent(launcher.install);
  }
  {
    std::lock_guard lock(launcher.installStatus.lock);
    launcher.installStatus.state.stage = InstallStage::Failed;
    launcher.installStatus.state.error = "нет места";
  }
  PostInstallEvent(launcher.install);
  EXPECT_EQ(Count(), 7u);
  const std::string added = lines().substr(before.size());
  EXPECT_EQ(added, LogLineBytes("установка: проверяю — файлов 0 из 3, байт 0 из 0") +
                       LogLineBytes("установка: идёт — файлов 0 из 3, байт 0 из 0") +
                       LogLineBytes("установка: пауза — файлов 0 из 3, байт 0 из 0") +
                       LogLineBytes("установка: идёт — файлов 0 из 3, байт 0 из 0") +
                       LogLineBytes("установка: ошибка — файлов 0 из 3, байт 0 из 0; нет места"));
}

TEST(FolderChoice, MostSpaceWinsTheFirstOnTiesNeverAnEmptyDisk) {
  EXPECT_EQ(BestPlace({{"/home/u", 10}, {"/mnt/big", 200}, {"/mnt/twin", 200}}), "/mnt/big");
  EXPECT_EQ(BestPlace({{"/full", 0}}), "");
  EXPECT_EQ(BestPlace({}), "");
  EXPECT_EQ(SuggestedFolder("/mnt/big"), "/mnt/big/Игры/ТАРН");
  EXPECT_EQ(SuggestedFolder("/"), "/Игры/ТАРН");
  EXPECT_EQ(SuggestedFolder(""), "");
}

TEST(FolderChoice, TheGameFolderRule) {
  EXPECT_EQ(InstallFolderFor(TrimTrailingSeparators("/")), "/ТАРН");
  EXPECT_EQ(InstallFolderFor(TrimTrailingSeparators("///")), "/ТАРН");
  EXPECT_EQ(InstallFolderFor(TrimTrailingSeparators("/games/")), "/games/ТАРН");
  EXPECT_EQ(InstallFolderFor(TrimTrailingSeparators("/games/ТАРН//")), "/games/ТАРН");
  EXPECT_EQ(InstallFolderFor("/games/тарн"), "/games/тарн/ТАРН");  // letter case counts
  EXPECT_EQ(InstallFolderFor("/games/ТАРН2"), "/games/ТАРН2/ТАРН");
  EXPECT_EQ(InstallFolderFor("ТАРН"), "ТАРН");
}

TEST(FolderChoice, NetworkPathsAndControlCharactersAreRefused) {
  EXPECT_EQ(CheckChosenFolder("//server/share"), FolderProblem::Network);
  EXPECT_EQ(CheckChosenFolder("//"), FolderProblem::Network);
  for (const std::string& bad : {std::string("/tmp/a\nb"), std::string("/tmp/a\rb"), std::string("/tmp/a\0b", 8),
                                std::string("/tmp/\x7f"), std::string("/tmp/\tx")})
    EXPECT_EQ(CheckChosenFolder(bad), FolderProblem::ControlCharacter) << bad;
  for (const char* bad : {"/tmp/a\"b", "/tmp/<x", "/tmp/x>", "/tmp/a|b", "/tmp/что?", "/tmp/*"})
    EXPECT_EQ(CheckChosenFolder(bad), FolderProblem::ForbiddenCharacter) << bad;
  for (const char* relative : {"games", "./games", "../games", "~/games", "games/ТАРН"})
    EXPECT_EQ(CheckChosenFolder(relative), FolderProblem::Relative) << relative;
  EXPECT_EQ(CheckChosenFolder(test::TempDir().str()), FolderProblem::None);
  EXPECT_EQ(CheckChosenFolder(""), FolderProblem::None);  // the root
  EXPECT_NE(FolderProblemText(FolderProblem::Network).find("Сетевые папки"), std::string::npos);
  EXPECT_NE(FolderProblemText(FolderProblem::ControlCharacter).find("управляющие символы"), std::string::npos);
}

TEST(FolderChoice, TheLauncherOwnFoldersAreNoGameFolderAndNoLinkLeadsThere) {
  LauncherContext ctx;
  const fs::path exe = ExeDir();
  const fs::path data = exe / "data";  // no host: the data folder beside the program
  const bool made = fs::create_directories(data);
  const test::TempDir games;
  fs::create_symlink(exe, games.path() / "к лаунчеру");
  fs::create_symlink(data, games.path() / "к данным");
  const bool madeUi = fs::create_directories(exe / "ui");
  fs::create_symlink(exe / "ui", games.path() / "к странице");
  fs::create_directories(games.path() / "своё");
  fs::create_symlink(games.path() / "своё", games.path() / "ссылка");
  const std::vector<std::pair<fs::path, bool>> folders = {
      {exe, true},                                  // the program folder itself
      {exe.parent_path(), true},                    // holds it
      {data / "ТАРН", true},                        // inside the data folder
      {games.path() / "к лаунчеру", true},          // the program folder by a link
      {games.path() / "к данным" / "ТАРН", true},   // the data folder by a link
      {exe / "ТАРН", false},                        // beside the data, in a portable copy's folder
      {games.path() / "ТАРН", false},
      {games.path() / "ссылка" / "ТАРН", false},
  };
  for (const auto& [folder, refused] : folders) EXPECT_EQ(IsLauncherPlace(ctx, folder.string()), refused) << folder;

  LauncherFiles launcher(ctx);
  const std::vector<std::pair<fs::path, bool>> targets = {
      {games.path() / "к данным" / "install.cfg", true},
      {games.path() / "к данным" / "webview" / "x", true},
      {games.path() / "к лаунчеру" / "launcher.log", true},
      {games.path() / "к лаунчеру" / "data" / "install.cfg", true},
      {games.path() / "к лаунчеру" / "service.url", true},
      {games.path() / "к лаунчеру" / "ui" / "app.js", true},
      {games.path() / "к лаунчеру" / "wine" / "drive_c" / "x", true},
      {games.path() / "к лаунчеру" / fs::path(ExePath()).filename(), true},
      {games.path() / "к странице" / "index.html", true},
      {games.path() / "к лаунчеру" / "ElementClient.exe", false},  // a launcher kept in the client folder
      {games.path() / "к лаунчеру" / "uix", false},
      {games.path() / "к лаунчеру" / "ТАРН" / "a.pck", false},
      {games.path() / "ссылка" / "data" / "install.cfg", false},  // a link within the game's own folders
      {games.path() / "data" / "install.cfg", false},
  };
  for (const auto& [target, reached] : targets) EXPECT_EQ(launcher.Reached(target.string()), reached) << target;
  if (made) fs::remove(data);
  if (madeUi) fs::remove(exe / "ui");
}

TEST(FolderChoice, FreeSpaceOfAFolderNotYetMadeIsThatOfItsDisk) {
  test::TempDir dir;
  const uint64_t here = FreeSpaceOf(dir.str());
  EXPECT_GT(here, 0u);
  // Other tests write meanwhile; the same disk answers within a margin.
  const uint64_t below = FreeSpaceOf((dir.path() / "a" / "b" / "ТАРН").string());
  EXPECT_NEAR(static_cast<double>(below), static_cast<double>(here), 64.0 * MiB);
  EXPECT_EQ(FreeSpaceOf(""), 0u);
  for (const DiskPlace& p : InstallPlaces()) EXPECT_GT(p.freeBytes, 0u) << p.path;
}

TEST(MountTable, ParsedWithEscapesAndOptionalFields) {
  const std::string text =
      "27 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
      "30 27 0:45 / /home rw master:2 unbindable - btrfs /dev/sdb2 rw,subvol=/home\n"
      "31 27 0:50 / /mnt/my\\040disk ro - ext4 /dev/sdc1 ro\n"
      "32 27 0:51 / /mnt/share rw - nfs4 srv:/export rw\n"
      "33 27 0:52 / /mnt/share/deep rw - fuse.sshfs u@h:/ rw\n"
      "34 27 0:23 / /dev/shm rw - tmpfs tmpfs rw\n"
      "garbage line\n"
      "35 27 8:1 / /mnt/data rw - ext4 /dev/sda1 rw\n";
  const std::vector<MountEntry> m = ParseMountInfo(text);
  ASSERT_EQ(m.size(), 7u);
  EXPECT_EQ(m[0].mountPoint, "/");
  EXPECT_EQ(m[1].fsType, "btrfs");
  EXPECT_EQ(m[1].source, "/dev/sdb2");
  EXPECT_EQ(m[2].mountPoint, "/mnt/my disk");
  EXPECT_TRUE(m[2].readOnly);
  EXPECT_FALSE(m[0].readOnly);
  EXPECT_EQ(m[6].major, 8u);
  EXPECT_EQ(m[6].minor, 1u);

  EXPECT_TRUE(IsLocalBlockFs(m[0]));
  EXPECT_TRUE(IsLocalBlockFs(m[1]));  // anonymous device number, real device source
  EXPECT_FALSE(IsLocalBlockFs(m[3]));
  EXPECT_FALSE(IsLocalBlockFs(m[5]));

  EXPECT_EQ(MountOf(m, "/mnt/share/x")->fsType, "nfs4");
  EXPECT_EQ(MountOf(m, "/mnt/share/deep/x")->fsType, "fuse.sshfs");
  EXPECT_EQ(MountOf(m, "/mnt/shared")->mountPoint, "/");  // a prefix of the text is not a parent
  EXPECT_EQ(MountOf(m, "/mnt/data")->source, "/dev/sda1");
  EXPECT_EQ(MountOf(m, "relative"), nullptr);
  for (const char* type : {"nfs", "nfs4", "cifs", "smb3", "fuse.sshfs", "9p"}) EXPECT_TRUE(IsNetworkFsType(type));
  for (const char* type : {"ext4", "btrfs", "tmpfs", "fuse", "overlay"}) EXPECT_FALSE(IsNetworkFsType(type));
}

TEST(ClientWriterGuard, OneWriterAtATimeAndOnlyTheHolderReleases) {
  ClientWriterGuard guard;
  ClientWriter holder = ClientWriter::Nobody;
  ASSERT_TRUE(TakeClientWriter(guard, ClientWriter::Install, holder));
  EXPECT_FALSE(TakeClientWriter(guard, ClientWriter::Update, holder));
  EXPECT_EQ(holder, ClientWriter::Install);
  ReleaseClientWriter(guard, ClientWriter::Update);  // not the holder: no effect
  {
    const ClientWriterHold hold(guard, ClientWriter::Update);
    EXPECT_FALSE(hold.taken());
    EXPECT_EQ(hold.holder(), ClientWriter::Install);
  }
  ReleaseClientWriter(guard, ClientWriter::Install);
  {
    const ClientWriterHold hold(guard, ClientWriter::Update);
    EXPECT_TRUE(hold.taken());
  }
  EXPECT_TRUE(TakeClientWriter(guard, ClientWriter::Install, holder));
  ReleaseClientWriter(guard, ClientWriter::Install);
}

TEST_F(Posted, AJournalNamesItsFolderAndReadersSkipThatLine) {
  EXPECT_EQ(InstallJournalFolder(ctx), "");
  AppendInstallJournal(ctx, "a.pck", "aa");
  EXPECT_EQ(InstallJournalFolder(ctx), "");  // an old journal names no folder
  StartInstallJournal(ctx, "/games/ТАРН");
  EXPECT_TRUE(LoadInstallJournal(ctx, 1 << 20).empty());
  AppendInstallJournal(ctx, "b.pck", "bb");
  EXPECT_EQ(InstallJournalFolder(ctx), "/games/ТАРН");
  EXPECT_EQ(LoadInstallJournal(ctx, 1 << 20), (InstallJournal{{"b.pck", "bb"}}));
  EXPECT_EQ(test::ReadFile(InstallJournalPath(ctx)), "folder=/games/ТАРН\r\nbb\tb.pck\r\n");
}

}  // namespace
}  // namespace tarn

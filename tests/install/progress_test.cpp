// The install's progress without a service: sizes, the install Event,
// speed and time left on an injected clock, and the stage log.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "bridge/log.h"
#include "install/progress.h"
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
  // A failure another folder may cure says so, after the twelve; the same
  // cause outside stage "ошибка" says nothing.
  s.cause = FailureCause::FolderOrDisk;
  EXPECT_TRUE(InstallEventText(s).ends_with(R"("version":3,"folderError":true}})")) << InstallEventText(s);
  s.stage = InstallStage::Resumable;
  EXPECT_TRUE(InstallEventText(s).ends_with(R"("version":3}})")) << InstallEventText(s);
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

}  // namespace
}  // namespace tarn

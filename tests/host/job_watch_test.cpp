// What the desktop hears of a long job, read from the Events the jobs
// really post (the install's snapshot, the shared progress line) between
// the begin and end the core signals.
#include "host/common/job_watch.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bridge/context.h"
#include "bridge/page_events.h"
#include "install/progress.h"
#include "platform/unicode.h"

namespace tarn {
namespace {

std::string Install(InstallStage stage, uint64_t done, uint64_t total, const std::string& error = {}) {
  InstallState s;
  s.stage = stage;
  s.doneBytes = done;
  s.totalBytes = total;
  s.error = error;
  // A folder name that looks like the fields the watch reads changes nothing.
  s.path = R"(/games/"stage":"готово","totalBytes":1)";
  return InstallEventText(s);
}

// The progress line exactly as PostProgress writes it.
std::string Progress(const std::string& status, uint32_t percent, ProgressStage stage) {
  LauncherContext ctx;
  std::string posted;
  HostSlots slots;
  slots.post = [&posted](const std::string& event) { posted = event; };
  InstallHostSlots(ctx, std::move(slots));
  PostProgress(ctx, status, percent, stage);
  return posted;
}

constexpr JobSignal kInstallBegan{LongJob::Install, JobPhase::Began};
constexpr JobSignal kInstallEnded{LongJob::Install, JobPhase::Ended};
constexpr JobSignal kUpdateBegan{LongJob::Update, JobPhase::Began};
constexpr JobSignal kUpdateEnded{LongJob::Update, JobPhase::Ended};

TEST(JobWatch, AnInstallShowsItsShareOfBytesAndEndsWithItsOutcomeOrSilentlyWhenStopped) {
  JobWatch watch;
  // The screen of an installed client at start-up is no job's end.
  EXPECT_FALSE(WatchEvent(watch, Install(InstallStage::Installed, 10, 10)));
  EXPECT_FALSE(WatchSignal(watch, kInstallEnded));
  EXPECT_FALSE(watch.percent);

  EXPECT_FALSE(WatchSignal(watch, kInstallBegan));
  EXPECT_EQ(watch.percent, 0u);
  EXPECT_FALSE(WatchEvent(watch, Install(InstallStage::Preparing, 0, 0)));
  EXPECT_TRUE(WatchEvent(watch, Install(InstallStage::Downloading, 250, 1000)));
  EXPECT_EQ(watch.percent, 25u);
  EXPECT_FALSE(WatchEvent(watch, Install(InstallStage::Downloading, 251, 1000))) << "same percent, no new call";
  // The update's line meanwhile (a check turned away) is not the install's.
  EXPECT_FALSE(WatchEvent(watch, Progress("Обновление клиента", 90, ProgressStage::Busy)));
  EXPECT_TRUE(WatchEvent(watch, Install(InstallStage::Downloading, 2000, 1000)));
  EXPECT_EQ(watch.percent, 100u);
  WatchEvent(watch, Install(InstallStage::Installed, 1000, 1000));
  const std::optional<DesktopNotice> done = WatchSignal(watch, kInstallEnded);
  ASSERT_TRUE(done);
  EXPECT_EQ(done->summary + "|" + done->body, "Клиент установлен|");
  EXPECT_FALSE(watch.percent) << "the bar goes with the job";

  // A failure carries its reason, cut short and still whole UTF-8.
  WatchSignal(watch, kInstallBegan);
  WatchEvent(watch, Install(InstallStage::Failed, 0, 1000, std::string(400, 'x') + "ошибка"));
  std::optional<DesktopNotice> failed = WatchSignal(watch, kInstallEnded);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->summary, "Установка прервана");
  EXPECT_EQ(failed->body, std::string(300, 'x') + "…");
  WatchSignal(watch, kInstallBegan);
  WatchEvent(watch, Install(InstallStage::Failed, 0, 1000, std::string(299, 'x') + "ёж"));
  failed = WatchSignal(watch, kInstallEnded);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->body, std::string(299, 'x') + "…");
  EXPECT_EQ(SanitizeUtf8(failed->body), failed->body);

  // A pause and a stop the player asked for are no news; nor is a run that
  // posted nothing (a folder dialog cancelled).
  for (const InstallStage last : {InstallStage::Paused, InstallStage::Resumable}) {
    WatchSignal(watch, kInstallBegan);
    WatchEvent(watch, Install(InstallStage::Installed, 1, 1));
    WatchEvent(watch, Install(InstallStage::Downloading, 1, 2));
    WatchEvent(watch, Install(last, 1, 2));
    EXPECT_FALSE(WatchSignal(watch, kInstallEnded));
  }
  WatchSignal(watch, kInstallBegan);
  EXPECT_FALSE(WatchSignal(watch, kInstallEnded));
}

TEST(JobWatch, AnUpdateEndsWithItsLastLineAtRestAndASecondOneInsideItSaysNothing) {
  JobWatch watch;
  EXPECT_FALSE(WatchEvent(watch, Progress("Клиент актуален", 100, ProgressStage::Ready)));
  WatchSignal(watch, kUpdateBegan);
  EXPECT_TRUE(WatchEvent(watch, Progress("Проверка перед обновлением", 40, ProgressStage::Busy)));
  EXPECT_EQ(watch.percent, 40u);
  // An install's snapshot meanwhile is not the update's.
  EXPECT_FALSE(WatchEvent(watch, Install(InstallStage::Downloading, 1, 2)));
  // Another "client.update" while this one runs is turned away at once.
  WatchSignal(watch, kUpdateBegan);
  EXPECT_FALSE(WatchSignal(watch, kUpdateEnded));
  EXPECT_EQ(watch.percent, 40u);
  EXPECT_TRUE(WatchEvent(watch, Progress("Обновление клиента", 70, ProgressStage::Busy)));
  // The check made at the end comes before the update's own last word.
  WatchEvent(watch, Progress("Клиент актуален", 100, ProgressStage::Ready));
  WatchEvent(watch, Progress("Клиент обновлён", 100, ProgressStage::Ready));
  const std::optional<DesktopNotice> notice = WatchSignal(watch, kUpdateEnded);
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->summary, "Клиент обновлён");
  EXPECT_FALSE(watch.percent);

  // Ended with a busy line last (or none: "nothing to update" has only
  // its rows): nothing to tell.
  WatchSignal(watch, kUpdateBegan);
  WatchEvent(watch, Progress("Обновление клиента", 70, ProgressStage::Busy));
  EXPECT_FALSE(WatchSignal(watch, kUpdateEnded));

  // An install and an update side by side keep one bar until both ended.
  WatchSignal(watch, kInstallBegan);
  WatchSignal(watch, kUpdateBegan);
  WatchEvent(watch, Progress("Обновление не начато: идёт установка игры", 0, ProgressStage::Ready));
  EXPECT_TRUE(WatchSignal(watch, kUpdateEnded));
  EXPECT_EQ(watch.percent, 0u);
  WatchSignal(watch, kInstallEnded);
  EXPECT_FALSE(watch.percent);
}

}  // namespace
}  // namespace tarn

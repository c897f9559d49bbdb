// The Event texts that verification, update and launch share with the
// page: status rows and the progress bar.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "bridge/page_events.h"

namespace tarn {
namespace {

class Posted : public ::testing::Test {
 protected:
  void SetUp() override {
    HostSlots slots;
    slots.post = [this](const std::string& e) {
      std::lock_guard lock(mutex_);
      events_.push_back(e);
    };
    InstallHostSlots(ctx, slots);
  }
  void TearDown() override { InstallHostSlots(ctx, {}); }
  std::vector<std::string> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

  std::mutex mutex_;
  std::vector<std::string> events_;
  LauncherContext ctx;
};

TEST_F(Posted, RowsAndProgressAreCompactJson) {
  const std::string row = MakeStateRow(RowState::Bad, "data\\\"quoted\".pck — не совпала", "Перекачаю\n");
  EXPECT_EQ(row, R"({"state":"bad","label":"data\\\"quoted\".pck — не совпала","text":"Перекачаю\n"})");
  PostVerifyRows(ctx, {});
  PostVerifyRows(ctx, {MakeStateRow(RowState::Ok, "a", "b"), MakeStateRow(RowState::Run, "c", "1%")});
  PostProgress(ctx, "Проверка клиента", 7, ProgressStage::Busy);
  PostProgress(ctx, "Найдены расхождения", 100, ProgressStage::Ready);
  EXPECT_EQ(Events(), (std::vector<std::string>{
                          R"({"verify":[]})",
                          R"({"verify":[{"state":"ok","label":"a","text":"b"},{"state":"run","label":"c","text":"1%"}]})",
                          R"({"progress":{"status":"Проверка клиента","percent":7,"ready":false}})",
                          R"({"progress":{"status":"Найдены расхождения","percent":100,"ready":true}})",
                      }));
}

}  // namespace
}  // namespace tarn

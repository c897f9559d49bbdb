// The player's speed limit: kept in the data folder, applied, announced.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "download/limiter.h"
#include "support/launcher.h"
#include "support/temp_dir.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

// Catches the Events the limit posts, with a data folder of the test's own.
class Posted : public ::testing::Test {
 protected:
  void SetUp() override {
    HostSlots slots = test::DataOnly((dir_.path() / "data").string());
    slots.post = [this](const std::string& e) {
      std::lock_guard lock(mutex_);
      events_.push_back(e);
    };
    InstallHostSlots(ctx, slots);
  }
  void TearDown() override { InstallHostSlots(ctx, {}); }

  test::TempDir dir_;
  std::mutex mutex_;
  std::vector<std::string> events_;
  Launcher launcher;
  LauncherContext& ctx = launcher.context;
};

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

}  // namespace
}  // namespace tarn

// Many tasks changing install.cfg at once lose nothing: each whole
// read-change-write is one step for the others.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "client/install_record.h"
#include "support/launcher.h"
#include "support/temp_dir.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

using test::DataOnly;

TEST(InstallConfigConcurrency, ParallelSettersKeepEveryKey) {
  Launcher launcher;
  LauncherContext& ctx = launcher.context;
  test::TempDir root;
  InstallHostSlots(ctx, DataOnly(root.str()));
  constexpr int kThreads = 8, kKeys = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&launcher, t] {
      for (int k = 0; k < kKeys; ++k) {
        SetConfigValue(launcher.client, "k" + std::to_string(t) + "-" + std::to_string(k), std::to_string(k));
        SetConfigValue(launcher.client, "shared", std::to_string(t));
        GetConfigValue(launcher.client, "shared");
      }
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t)
    for (int k = 0; k < kKeys; ++k)
      EXPECT_EQ(GetConfigValue(launcher.client, "k" + std::to_string(t) + "-" + std::to_string(k)), std::to_string(k));
  const std::string text = test::ReadFile(root.path() / "install.cfg");
  EXPECT_EQ(text.find("shared="), text.rfind("shared="));
  InstallHostSlots(ctx, {});
}

}  // namespace
}  // namespace tarn

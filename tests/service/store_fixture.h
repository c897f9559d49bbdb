#pragma once
// A private world for the account store: the user's key folder
// (XDG_DATA_HOME) and the launcher's data folder both in a fresh temporary
// folder, and every Event and shell request the core makes recorded.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "bridge/tasks.h"
#include "service/account_store.h"
#include "support/temp_dir.h"
#include "wiring/launcher.h"

namespace tarn {

// Readable failure messages for account lists.
inline void PrintTo(const Account& a, std::ostream* os) {
  *os << '{' << a.login << ", " << a.password << ", " << a.unopened << '}';
}

}  // namespace tarn

namespace tarn::test {

struct Recorder {
  std::mutex mutex;
  std::vector<std::string> events;
  std::vector<std::string> opened;

  std::vector<std::string> Events() {
    std::lock_guard lock(mutex);
    return events;
  }
  std::vector<std::string> Opened() {
    std::lock_guard lock(mutex);
    return opened;
  }
};

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseKeyHome("home-a");
    dataFolder_ = dir_.path() / "data";
    auto rec = recorder_;
    slots_ = {
        .post =
            [rec](const std::string& e) {
              std::lock_guard lock(rec->mutex);
              rec->events.push_back(e);
            },
        .open =
            [rec](const std::string& target, const std::string&) {
              std::lock_guard lock(rec->mutex);
              rec->opened.push_back(target);
            },
        .pickFolder = {},
        .dataFolder = dataFolder_.string(),
    };
    InstallHostSlots(ctx, slots_);
  }
  // Sends the core's requests to a stand-in service on this loopback port.
  // No task may be running.
  void UseService(uint16_t port) {
    InstallHostSlots(ctx, slots_, {.secure = false, .host = "127.0.0.1", .port = port});
  }
  void TearDown() override {
    WaitForTasks(ctx.tasks);
    InstallHostSlots(ctx, {});
    unsetenv("XDG_DATA_HOME");
  }

  // Switches to another user's key, as if the files had been carried to
  // another account or machine. No task may be running.
  void UseKeyHome(const std::string& name) {
    keyHome_ = dir_.path() / name;
    setenv("XDG_DATA_HOME", keyHome_.c_str(), 1);
  }

  std::filesystem::path AccountsFile() const { return dataFolder_ / "accounts.dat"; }
  std::filesystem::path KeyFile() const { return keyHome_ / "tarn-launcher" / "user.key"; }
  std::vector<std::string> Events() { return recorder_->Events(); }

  TempDir dir_;
  std::filesystem::path dataFolder_;
  std::filesystem::path keyHome_;
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  HostSlots slots_;
  Launcher launcher;
  LauncherContext& ctx = launcher.context;
};

}  // namespace tarn::test

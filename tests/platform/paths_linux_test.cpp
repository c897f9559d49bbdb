// An installed copy keeps each user's state in that user's data folder;
// Windows keeps it beside the program, so these cases are Linux's own.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/paths.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

// Sets a variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

mode_t ModeOf(const fs::path& p) {
  struct stat st{};
  return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(StateFolder, AnInstalledCopyUsesTheUsersDataFolderMadePrivate) {
  test::TempDir program;
  test::TempDir home;
  test::WriteFile(program.path() / std::string(kInstalledMarker), "");

  // Missing levels are made, each private to the user.
  const fs::path data = home.path() / "deep" / "share";
  {
    ScopedEnv xdg("XDG_DATA_HOME", data.c_str());
    const std::string state = StateDirFor(program.str());
    EXPECT_EQ(state, (data / "tarn-launcher").string());
    EXPECT_TRUE(fs::is_directory(state));
    EXPECT_EQ(ModeOf(state), 0700u);
    EXPECT_EQ(ModeOf(home.path() / "deep"), 0700u);
    EXPECT_EQ(StateDirFor(program.str()), state);  // found again, not remade
  }
  // A relative XDG_DATA_HOME does not count; the home's default does.
  {
    ScopedEnv xdg("XDG_DATA_HOME", "relative/share");
    ScopedEnv h("HOME", home.str().c_str());
    EXPECT_EQ(StateDirFor(program.str()), home.str() + "/.local/share/tarn-launcher");
  }
  // A data folder that cannot be made leaves the state beside the program
  // rather than nowhere.
  test::WriteFile(home.path() / "file", "");
  {
    ScopedEnv xdg("XDG_DATA_HOME", (home.path() / "file").c_str());
    EXPECT_EQ(StateDirFor(program.str()), program.str());
  }
}

}  // namespace
}  // namespace tarn

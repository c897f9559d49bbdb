// The folder rules on made-up disks and on the launcher's own folders.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "bridge/context.h"
#include "client/install_folder.h"
#include "platform/disk.h"
#include "platform/paths.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t MiB = 1024 * 1024;

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

}  // namespace
}  // namespace tarn

// install.cfg and install.done as real files in a data folder of the
// test's own.
#include "client/install_record.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "bridge/host_slots.h"
#include "support/launcher.h"
#include "support/temp_dir.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

using test::DataOnly;

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

class InstallConfig : public ::testing::Test {
 protected:
  void SetUp() override { InstallHostSlots(ctx, DataOnly(data_.string())); }
  void TearDown() override { InstallHostSlots(ctx, {}); }
  fs::path Cfg() const { return data_ / "install.cfg"; }
  fs::path Journal() const { return data_ / "install.done"; }

  test::TempDir root_;
  fs::path data_ = root_.path() / "data";
  Launcher launcher;
  LauncherContext& ctx = launcher.context;
};

TEST_F(InstallConfig, HandEditedFilesReadAndAreRewrittenClean) {
  WriteFile(Cfg(), "free text\n\npath=/games/a\r\nstate=идёт\r\r\n\nPath=/other\nversion=3=4\nnote=  blanks  \n");
  EXPECT_EQ(GetConfigValue(launcher.client, "path"), "/games/a");
  EXPECT_EQ(GetConfigValue(launcher.client, "Path"), "/other");
  EXPECT_EQ(GetConfigValue(launcher.client, "state"), "идёт");
  EXPECT_EQ(GetConfigValue(launcher.client, "version"), "3=4");
  EXPECT_EQ(GetConfigValue(launcher.client, "note"), "  blanks  ");
  EXPECT_EQ(GetConfigValue(launcher.client, "free text"), "");
  EXPECT_EQ(GetConfigValue(launcher.client, "absent"), "");
  EXPECT_EQ(GetConfigValue(launcher.client, ""), "");

  SetConfigValue(launcher.client, "state", "готово");
  EXPECT_EQ(ReadFile(Cfg()),
            "free text\r\npath=/games/a\r\nstate=готово\r\nPath=/other\r\nversion=3=4\r\nnote=  blanks  \r\n");
  SetConfigValue(launcher.client, "new", "x");
  EXPECT_EQ(ReadFile(Cfg()).substr(ReadFile(Cfg()).size() - 7), "new=x\r\n");
}

TEST_F(InstallConfig, TheFirstOfRepeatedKeysCountsAndSettingRewritesThemAll) {
  WriteFile(Cfg(), "path=a\r\nstate=идёт\r\npath=b\r\n");
  EXPECT_EQ(GetConfigValue(launcher.client, "path"), "a");
  SetConfigValue(launcher.client, "path", "c");
  EXPECT_EQ(ReadFile(Cfg()), "path=c\r\nstate=идёт\r\npath=c\r\n");
  // Several keys in one rewrite land where one by one they would.
  fs::create_hard_link(Cfg(), root_.path() / "old");
  SetConfigValues(launcher.client, {{"state", "готово"}, {"version", "4"}, {"path", "d"}});
  EXPECT_EQ(ReadFile(Cfg()), "path=d\r\nstate=готово\r\npath=d\r\nversion=4\r\n");
  EXPECT_EQ(ReadFile(root_.path() / "old"), "path=c\r\nstate=идёт\r\npath=c\r\n");
}

TEST_F(InstallConfig, SettingMakesTheDataFolderAndReplacesTheFileWhole) {
  EXPECT_EQ(GetConfigValue(launcher.client, "path"), "");
  SetConfigValue(launcher.client, "path", "/games/Игры/ТАРН");
  EXPECT_EQ(ReadFile(Cfg()), "path=/games/Игры/ТАРН\r\n");

  // The old file stays intact under another name: the new content went to
  // a new file that was renamed into place, and no temporary file remains.
  fs::create_hard_link(Cfg(), root_.path() / "old");
  SetConfigValue(launcher.client, "state", "идёт");
  EXPECT_EQ(ReadFile(root_.path() / "old"), "path=/games/Игры/ТАРН\r\n");
  EXPECT_EQ(ReadFile(Cfg()), "path=/games/Игры/ТАРН\r\nstate=идёт\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(data_), fs::directory_iterator()), 1);
}

TEST_F(InstallConfig, JournalAppendsLinesAndTheLastLineForAPathWins) {
  EXPECT_TRUE(LoadInstallJournal(ctx, 1 << 20).empty());
  AppendInstallJournal(ctx, "data\\models\\Игрок.pck", "ABCDEF");
  AppendInstallJournal(ctx, "element\\a.txt", "11");
  AppendInstallJournal(ctx, "data\\models\\Игрок.pck", "abcdef");
  EXPECT_EQ(ReadFile(Journal()),
            "ABCDEF\tdata\\models\\Игрок.pck\r\n11\telement\\a.txt\r\nabcdef\tdata\\models\\Игрок.pck\r\n");
  const InstallJournal journal = LoadInstallJournal(ctx, 1 << 20);
  EXPECT_EQ(journal, (InstallJournal{{"data\\models\\Игрок.pck", "abcdef"}, {"element\\a.txt", "11"}}));
}

TEST_F(InstallConfig, JournalLinesWithoutATabAreIgnored) {
  WriteFile(Journal(), "no tab here\naa\tx\tstill x\n\nbb\ty\r\n\tz\n");
  EXPECT_EQ(LoadInstallJournal(ctx, 1 << 20), (InstallJournal{{"x\tstill x", "aa"}, {"y", "bb"}, {"z", ""}}));
  EXPECT_EQ(InstallJournalPath(ctx), (data_ / "install.done").string());
  EXPECT_EQ(InstallConfigPath(ctx), (data_ / "install.cfg").string());
}

TEST_F(InstallConfig, OversizedRecordsKeepTheirWholeLinesWithinTheBound) {
  std::string filler;
  while (filler.size() < 3 * kInstallConfigLimitBytes) filler += "k" + std::to_string(filler.size()) + "=v\r\n";
  WriteFile(Cfg(), "path=/games/a\r\nstate=идёт\r\n" + filler + "version=9\r\n");
  EXPECT_EQ(GetConfigValue(launcher.client, "path"), "/games/a");
  EXPECT_EQ(GetConfigValue(launcher.client, "version"), "");  // past the bound: not read
  SetConfigValue(launcher.client, "version", "3");
  const std::string cfg = ReadFile(Cfg());
  EXPECT_LE(cfg.size(), kInstallConfigLimitBytes);
  EXPECT_TRUE(cfg.starts_with("path=/games/a\r\nstate=идёт\r\nk")) << cfg.substr(0, 40);
  EXPECT_TRUE(cfg.ends_with("\r\nversion=3\r\n")) << cfg.substr(cfg.size() - 40);
  EXPECT_EQ(GetConfigValue(launcher.client, "version"), "3");

  // The journal by its list: each entry twice over and the folder line.
  FileList list;
  list.entries = {{"abcd", 1, "a.pck"}, {"ef", 2, "data\\b.pck"}};
  EXPECT_EQ(InstallJournalLimit(list), 4096u + 2 * (4 + 5 + 3) + 2 * (2 + 10 + 3));
  // A longer journal keeps the lines within its bound and is cut back to
  // them at once, so the next append lands right after them.
  WriteFile(Journal(), "folder=/g\r\naa\tx\r\nbb\ty\r\n" + std::string(1000, 'z'));
  EXPECT_EQ(LoadInstallJournal(ctx, 30), (InstallJournal{{"x", "aa"}, {"y", "bb"}}));
  AppendInstallJournal(ctx, "z", "cc");
  EXPECT_EQ(ReadFile(Journal()), "folder=/g\r\naa\tx\r\nbb\ty\r\ncc\tz\r\n");
  EXPECT_EQ(InstallJournalFolder(ctx), "/g");
}

// The journal's folder line as the install writes it.
class Posted : public InstallConfig {};

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

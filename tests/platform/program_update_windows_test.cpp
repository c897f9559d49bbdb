// The Windows launcher's replacement of itself, on the roads that end
// before or at the swap. The installer's own part (waiting for the guard,
// writing the files, starting the new launcher) and signed programs are in
// tests/installer/upgrade_test.sh, with the installer the build packs.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <string>

#include "platform/paths.h"
#include "platform/program_update.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TarnLauncher";

struct OpenFile {
  HANDLE h;
  explicit OpenFile(const fs::path& path)
      : h(CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~OpenFile() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

// The installer's record of its folder, for the length of one test; this
// prefix has no real install.
struct InstallRecord {
  explicit InstallRecord(const std::wstring& folder) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kUninstallKey, L"InstallLocation", REG_SZ, folder.c_str(),
                    static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
  }
  ~InstallRecord() { RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey); }
};

TEST(ProgramUpdateWindows, RunningProgramIsTheInstallersOnlyFromTheRecordedFolder) {
  const RunningProgram plain = DescribeRunningProgram();
  EXPECT_EQ(plain.kind, ProgramInstall::Folder);
  EXPECT_EQ(plain.program, ExePath());
  EXPECT_EQ(plain.folder, ExeDir());

  // The installer writes the folder as the player typed it: any case, a
  // trailing backslash.
  std::wstring folder = fs::path(test::Utf8Path(ExeDir())).wstring();
  std::transform(folder.begin(), folder.end(), folder.begin(), [](wchar_t c) { return std::towupper(c); });
  {
    InstallRecord record(folder + L"\\");
    EXPECT_EQ(DescribeRunningProgram().kind, ProgramInstall::Installer);
  }
  {
    // A folder whose name only begins like ours is another folder.
    InstallRecord record(folder.substr(0, folder.size() - 1));
    EXPECT_EQ(DescribeRunningProgram().kind, ProgramInstall::Folder);
  }
  // This test program carries no signature: nothing to compare a release
  // with, whatever the file.
  EXPECT_EQ(CheckPublisher(ExePath()), PublisherCheck::NotNeeded);
  EXPECT_EQ(CheckPublisher("C:\\no\\such\\setup.exe"), PublisherCheck::NotNeeded);
}

// Every failure before the swap leaves the folder copy as it was: the
// program under its own name, nothing set aside.
TEST(ProgramUpdateWindows, FailedStartLeavesTheProgramInPlace) {
  test::TempDir dir;
  const fs::path exe = dir.path() / "tarn-launcher.exe";
  const fs::path old = dir.path() / "tarn-launcher.exe.old";
  test::WriteFile(exe, "old program");
  const RunningProgram copy{ProgramInstall::Folder, test::PathUtf8(exe), dir.str()};
  const auto untouched = [&] { return test::ReadFile(exe) == "old program" && !fs::exists(old); };

  // Not a program at all: the rename is taken back.
  test::WriteFile(dir.path() / "setup.exe", "not a program");
  auto started = StartUpgrade(copy, JoinPath(dir.str(), "setup.exe"));
  ASSERT_FALSE(started);
  EXPECT_EQ(started.reason(), UpgradeError::Start);
  EXPECT_TRUE(untouched());

  started = StartUpgrade(copy, JoinPath(dir.str(), "missing.exe"));
  ASSERT_FALSE(started);
  EXPECT_EQ(started.reason(), UpgradeError::Unpack);
  EXPECT_TRUE(untouched());

  RunningProgram package = copy;
  package.kind = ProgramInstall::Package;
  started = StartUpgrade(package, JoinPath(dir.str(), "setup.exe"));
  ASSERT_FALSE(started);
  EXPECT_EQ(started.reason(), UpgradeError::Unsupported);
  EXPECT_TRUE(untouched());

  {
    // Held by someone who does not share deleting (an antivirus reading it).
    OpenFile holder(exe);
    ASSERT_NE(holder.h, INVALID_HANDLE_VALUE);
    started = StartUpgrade(copy, JoinPath(dir.str(), "setup.exe"));
    ASSERT_FALSE(started);
    EXPECT_EQ(started.reason(), UpgradeError::Locked);
  }
  EXPECT_TRUE(untouched());
}

// The swap itself, with a harmless system program standing in for the
// installer, and the clean-up at the next start.
TEST(ProgramUpdateWindows, SwapSetsTheProgramAsideUntilTheNextStart) {
  test::TempDir dir;
  const fs::path exe = dir.path() / "tarn-launcher.exe";
  const fs::path old = dir.path() / "tarn-launcher.exe.old";
  test::WriteFile(exe, "old program");
  // Left by a swap before: it must not stop this one.
  test::WriteFile(old, "older program");
  const RunningProgram copy{ProgramInstall::Folder, test::PathUtf8(exe), dir.str()};
  wchar_t system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
  const std::string installer = test::PathUtf8(fs::path(system) / "hostname.exe");

  ASSERT_TRUE(StartUpgrade(copy, installer));
  EXPECT_FALSE(fs::exists(exe));
  EXPECT_EQ(test::ReadFile(old), "old program");

  {
    // Still held at the next start: quietly left for the one after.
    OpenFile holder(old);
    ASSERT_NE(holder.h, INVALID_HANDLE_VALUE);
    RemoveProgramLeftAside(copy);
    EXPECT_TRUE(fs::exists(old));
  }
  RemoveProgramLeftAside(copy);
  EXPECT_FALSE(fs::exists(old));
  RemoveProgramLeftAside(copy);
}

}  // namespace
}  // namespace tarn

#pragma once
// The Windows launcher under Wine with the stand-in web view runtime
// (standin/webview_standin.cpp) installed in a prefix of the test's own the
// way the runtime's installer records itself: the updater's Clients and
// ClientState keys and the version folder holding
// EBWebView\x64\EmbeddedBrowserWebView.dll. The launcher finds it through
// its normal search. The same prefix sends the addresses the shell is asked
// to open (web, mail, script, data and one file type) to the stand-in's
// opener, so they show up in the record too.
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "window/x_session.h"

namespace tarn::test {

// Updater hives as the registry names them.
inline constexpr char kMachine32[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node";
inline constexpr char kMachine64[] = "HKEY_LOCAL_MACHINE\\SOFTWARE";
inline constexpr char kUser[] = "HKEY_CURRENT_USER\\Software";
inline constexpr char kStableChannel[] = "{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
inline constexpr char kBetaChannel[] = "{2CD8A007-E189-409D-A2C8-9AF4EF3C72AA}";
inline constexpr char kDevChannel[] = "{0D50BFEC-CD6A-4F9A-964C-C7416E3ACB10}";

// One installed channel. location is the Windows folder holding the
// version folders ("C:\...\Application"); "%USERPROFILE%" at its start
// stands for the prefix's user folder.
struct RuntimeInstall {
  std::string hive = kMachine32;
  std::string channel = kStableChannel;
  std::string location = "C:\\Program Files (x86)\\Microsoft\\EdgeWebView\\Application";
  std::string version = "120.0.2210.91";
  bool clientState = true;  // the EBWebView record of the version folder
  bool clients = true;      // location and pv
  bool files = true;        // the library really is in the version folder
};

struct LauncherRun {
  std::optional<int> exitCode;
  std::vector<std::string> records;  // the stand-in's lines, in order, unescaped
  std::vector<std::string> opened;   // what the desktop was asked to open
};

class StandInLauncher {
 public:
  // The prefix is kept between runs (and tests); its Wine server is ended
  // first, so it starts afresh on this test's display.
  explicit StandInLauncher(std::filesystem::path prefix);
  ~StandInLauncher();

  bool ready() const { return x_.running(); }
  // The copy of tarn-launcher.exe (with its ui\) that Start runs.
  const std::filesystem::path& exe() const { return exe_; }
  // The Windows form of a path of this machine ("Z:\...").
  static std::string WinePath(const std::filesystem::path& path);

  // Removes every earlier record of a runtime and installs these.
  bool Install(const std::vector<RuntimeInstall>& installs);
  // The library file an install puts in place, in its Windows form.
  std::string LibraryOf(const RuntimeInstall& install) const;

  // Runs the launcher with the stand-in's script until it ends (killed
  // after the timeout), then waits for the desktop to have opened at least
  // `opens` addresses (and a moment for any more). Message boxes that
  // appear are answered with their button when answerBoxes is set. A
  // launcher started later from this one (by its own update) plays `later`
  // and records into the same record, which Recorded reads.
  LauncherRun Run(const std::string& script, size_t opens = 0, std::chrono::seconds timeout = std::chrono::seconds(60),
                  bool answerBoxes = false, const std::string& later = "");
  // The record of the last Run as it stands now.
  LauncherRun Recorded() const;

 private:
  std::string Wine(const std::string& args) const;
  std::filesystem::path DriveC() const { return prefix_ / "drive_c"; }
  std::string UserProfile() const;

  std::filesystem::path prefix_;
  Xvfb x_;
  TempDir dir_;
  std::filesystem::path exe_;
  std::vector<std::string> env_;
};

// Lines of the record that begin with prefix.
std::vector<std::string> Lines(const std::vector<std::string>& records, const std::string& prefix);

}  // namespace tarn::test

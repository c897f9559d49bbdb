#include "standin_fixture.h"

#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <thread>

namespace tarn::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A .reg file is plain text with backslashes and quotes escaped in values.
std::string RegText(const std::string& value) {
  std::string out;
  for (const char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return "\"" + out + "\"";
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace

StandInLauncher::StandInLauncher(fs::path prefix) : prefix_(std::move(prefix)) {
  const std::string home = getenv("HOME") ? getenv("HOME") : "/tmp";
  // Wine names Unix files in the locale's encoding: UTF-8, as the tests
  // write them.
  env_ = {"PATH=/usr/bin:/bin", "HOME=" + home, "LANG=C.UTF-8", "TARN_WINEPREFIX=" + prefix_.string(),
          "TARN_WINE_DISPLAY=" + x_.display()};
  Capture("TARN_WINEPREFIX=" + Quoted(prefix_.string()) + " " TARN_WINE_RUN " --end-server");
  const fs::path folder = dir_.path() / "launcher";
  fs::create_directories(folder);
  exe_ = folder / "tarn-launcher.exe";
  fs::copy_file(TARN_LAUNCHER_EXE, exe_);
  fs::copy(fs::path(TARN_LAUNCHER_EXE).parent_path() / "ui", folder / "ui", fs::copy_options::recursive);
}

StandInLauncher::~StandInLauncher() {
  // Nothing of this test keeps running in the prefix after it.
  Capture("TARN_WINEPREFIX=" + Quoted(prefix_.string()) + " " TARN_WINE_RUN " --end-server");
}

std::string StandInLauncher::WinePath(const fs::path& path) {
  std::string text = "Z:" + path.string();
  std::replace(text.begin(), text.end(), '/', '\\');
  return text;
}

std::string StandInLauncher::Wine(const std::string& args) const {
  return Capture("TARN_WINEPREFIX=" + Quoted(prefix_.string()) + " TARN_WINE_DISPLAY=" + x_.display() + " " TARN_WINE_RUN +
                 " " + args + " 2>&1");
}

std::string StandInLauncher::UserProfile() const {
  if (fs::is_directory(DriveC() / "users"))
    for (const auto& entry : fs::directory_iterator(DriveC() / "users"))
      if (entry.is_directory() && entry.path().filename() != "Public")
        return "C:\\users\\" + entry.path().filename().string();
  return "C:\\users\\Public";
}

std::string StandInLauncher::LibraryOf(const RuntimeInstall& install) const {
  std::string location = install.location;
  if (location.rfind("%USERPROFILE%", 0) == 0) location = UserProfile() + location.substr(13);
  return location + "\\" + install.version + "\\EBWebView\\x64\\EmbeddedBrowserWebView.dll";
}

bool StandInLauncher::Install(const std::vector<RuntimeInstall>& installs) {
  // The prefix exists once Wine has run in it; the user folder with it.
  if (!fs::exists(prefix_ / "system.reg")) Wine("cmd /c exit");
  // Earlier library copies go with their records.
  for (const char* root : {"Program Files (x86)/Microsoft", "Program Files/Microsoft"})
    fs::remove_all(DriveC() / root);
  std::ostringstream reg;
  reg << "REGEDIT4\n\n";
  for (const char* hive : {kMachine32, kMachine64, kUser})
    reg << "[-" << hive << "\\Microsoft\\EdgeUpdate]\n\n";
  for (const RuntimeInstall& install : installs) {
    const std::string library = LibraryOf(install);
    const std::string versionFolder = library.substr(0, library.find("\\EBWebView\\"));
    const std::string key = install.hive + "\\Microsoft\\EdgeUpdate\\";
    if (install.clients)
      reg << "[" << key << "Clients\\" << install.channel << "]\n\"pv\"=" << RegText(install.version)
          << "\n\"location\"=" << RegText(versionFolder.substr(0, versionFolder.rfind('\\')))
          << "\n\"name\"=\"Microsoft Edge WebView2 Runtime\"\n\n";
    if (install.clientState)
      reg << "[" << key << "ClientState\\" << install.channel << "]\n\"EBWebView\"=" << RegText(versionFolder) << "\n\n";
    if (install.files) {
      std::string unixPath = library.substr(3);
      std::replace(unixPath.begin(), unixPath.end(), '\\', '/');
      fs::create_directories((DriveC() / unixPath).parent_path());
      fs::copy_file(TARN_WEBVIEW_STANDIN, DriveC() / unixPath, fs::copy_options::overwrite_existing);
    }
  }
  // The desktop's opener: every scheme a page might hand over, and one
  // file type for file: addresses, run the stand-in's recorder.
  const std::string opener = "C:\\windows\\system32\\rundll32.exe \"" + WinePath(TARN_WEBVIEW_STANDIN) +
                             "\",StandInOpen %1";
  for (const char* scheme : {"http", "https", "mailto", "javascript", "data", "tarnpage.file"}) {
    reg << "[HKEY_LOCAL_MACHINE\\Software\\Classes\\" << scheme << "]\n\"URL Protocol\"=\"\"\n\n";
    reg << "[HKEY_LOCAL_MACHINE\\Software\\Classes\\" << scheme << "\\shell\\open\\command]\n@=" << RegText(opener)
        << "\n\n";
  }
  reg << "[HKEY_LOCAL_MACHINE\\Software\\Classes\\.tarnpage]\n@=\"tarnpage.file\"\n\n";
  const fs::path file = dir_.path() / "runtime.reg";
  WriteFile(file, reg.str());
  Wine("regedit /S " + Quoted(WinePath(file)));
  return true;
}

LauncherRun StandInLauncher::Run(const std::string& script, size_t opens, std::chrono::seconds timeout,
                                 bool answerBoxes, const std::string& later) {
  const fs::path scriptFile = dir_.path() / "script.txt";
  const fs::path recordFile = dir_.path() / "record.txt";
  WriteFile(scriptFile, script);
  fs::remove(recordFile);
  std::vector<std::string> env = env_;
  env.push_back("TARN_WEBVIEW_SCRIPT=" + WinePath(scriptFile));
  env.push_back("TARN_WEBVIEW_RECORD=" + WinePath(recordFile));
  LauncherRun run;
  {
    Child launcher(TARN_WINE_RUN, exe_.parent_path().string(), env, {exe_.string()});
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool laterWritten = later.empty();
    while (!run.exitCode && std::chrono::steady_clock::now() < deadline) {
      run.exitCode = launcher.Wait(500ms);
      // The stand-in reads its script before it records anything.
      std::error_code error;
      if (!laterWritten && fs::file_size(recordFile, error) > 0 && !error) {
        WriteFile(scriptFile, later);
        laterWritten = true;
      }
      if (!run.exitCode && answerBoxes)
        // The main window stays hidden, so what shows is a box; its OK
        // button sits at the foot of it, in the middle.
        Capture("export DISPLAY=" + x_.display() +
                "; for w in $(xdotool search --onlyvisible --class tarn-launcher.exe 2>/dev/null); do"
                " eval $(xdotool getwindowgeometry --shell $w); xdotool windowraise $w"
                " mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - 25)) click 1; done");
    }
  }
  const std::optional<int> exitCode = run.exitCode;
  // The shell's openers run on their own, and may finish after the launcher.
  run = Recorded();
  if (opens > 0) {
    WaitUntil([&] { return run = Recorded(), run.opened.size() >= opens; }, 30s);
    // Any opening beyond those expected would come about as quickly.
    std::this_thread::sleep_for(1s);
    run = Recorded();
  }
  run.exitCode = exitCode;
  return run;
}

LauncherRun StandInLauncher::Recorded() const {
  LauncherRun run;
  std::istringstream lines(ReadFile(dir_.path() / "record.txt"));
  for (std::string line; std::getline(lines, line);) {
    std::string text;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        const char next = line[++i];
        text += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
      } else {
        text += line[i];
      }
    }
    (text.rfind("opened ", 0) == 0 ? run.opened : run.records).push_back(text);
  }
  std::sort(run.opened.begin(), run.opened.end());
  return run;
}

std::vector<std::string> Lines(const std::vector<std::string>& records, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& line : records)
    if (line.rfind(prefix, 0) == 0) out.push_back(line);
  return out;
}

}  // namespace tarn::test

// Closing the real window while an install downloads: the launcher asks its
// tasks to stop and waits for them before it exits, so what it leaves is
// resumable and nothing of it writes after the process is gone. The service
// is the test's own, on a port the system picked, named in service.url
// beside the program, and slowed so the download is still running.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "launcher_fixture.h"
#include "support/service_fixture.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::WaitUntil;

// Size and modification time of every file below folder.
std::map<fs::path, std::pair<uintmax_t, fs::file_time_type>> Snapshot(const fs::path& folder,
                                                                      const fs::path& skip = {}) {
  std::map<fs::path, std::pair<uintmax_t, fs::file_time_type>> files;
  if (!fs::exists(folder)) return files;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
    if (!skip.empty() && it->path() == skip) {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file()) files[it->path()] = {it->file_size(), it->last_write_time()};
  }
  return files;
}

class CloseDuringInstall : public test::Launcher {};

TEST_F(CloseDuringInstall, LeavesAResumablePartAConsistentJournalAndNoLaterWrites) {
  const fs::path site = root_.path() / "site";
  // Only the fixed files and the packs: a stop while nothing but small files
  // is in flight leaves no ".part" to judge (those are held in memory), so
  // every transfer here is a pack, throttled, and all of them start at once.
  ASSERT_TRUE(test::MakeDemoSite(site, {"--size-mib", "8", "--files", "9"}));
  test::ServiceProcess service;
  ASSERT_TRUE(service.Start({.site = site, .port = 0, .args = {"--throttle", "524288"}})) << service.error();
  test::WriteFile(app_ / "service.url", service.Url(""));

  const fs::path client = root_.path() / "games" / "client";
  const fs::path data = app_ / "data";
  test::WriteFile(data / "install.cfg", "path=" + client.string() + "\r\n");
  // The page resumes into the saved folder and closes the window once the
  // first MiB is in, as a player closing the launcher mid-download.
  WritePage(R"(<script>
    const w = window.chrome.webview;
    w.addEventListener('message', (e) => {
      const i = e.data && e.data.install;
      if (i && i.stage === 'идёт' && i.doneBytes > 1048576) w.postMessage('window.close');
    });
    w.postMessage('install.resume');
  </script>)");

  auto launcher = Start();
  ASSERT_FALSE(WaitForWindow().empty());
  const std::optional<int> code = launcher->Wait(60s);
  ASSERT_TRUE(code.has_value()) << "the launcher did not end after its window closed";
  EXPECT_EQ(*code, 0);

  // The install heard the stop and ended on its resumable screen before the
  // process did, rather than dying with it.
  const std::vector<std::string> log = LogLines();
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
    return line.starts_with("установка: продолжить");
  })) << testing::PrintToString(log);

  // Nothing of the launcher writes after it ended.
  const auto clientAtExit = Snapshot(client);
  const auto dataAtExit = Snapshot(data, data / "webview");  // WebKit's own helpers keep their profile
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(Snapshot(client), clientAtExit);
  EXPECT_EQ(Snapshot(data, data / "webview"), dataAtExit);

  // At least one file was cut short and kept for the resume: every ".part"
  // holds the beginning of its file and no more (all of it, when the file was
  // in but not yet under its own name; the resume places such a one as is).
  size_t parts = 0;
  for (const auto& [path, stat] : clientAtExit) {
    if (path.extension() != ".part") continue;
    const fs::path real = site / "client" / fs::relative(path, client).replace_extension();
    const std::string kept = test::ReadFile(path);
    const std::string whole = test::ReadFile(real);
    EXPECT_LE(kept.size(), whole.size()) << path;
    EXPECT_EQ(kept, whole.substr(0, kept.size())) << path;
    parts += !kept.empty() && kept.size() < whole.size() ? 1 : 0;
  }
  EXPECT_GE(parts, 1u) << "no download was in flight when the window closed";

  // The journal speaks only for files that are whole under their own name.
  std::istringstream journal(test::ReadFile(data / "install.done"));
  size_t entries = 0;
  for (std::string line; std::getline(journal, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::string listPath = line.substr(tab + 1);
    for (char& c : listPath)
      if (c == '\\') c = '/';
    EXPECT_EQ(test::ReadFile(client / listPath), test::ReadFile(site / "client" / listPath)) << listPath;
    ++entries;
  }
  EXPECT_GT(entries, 0u);
  EXPECT_LT(entries, Snapshot(site / "client").size()) << "the install finished before the window closed";
  EXPECT_EQ(test::ReadFile(data / "install.cfg").find("state=готово"), std::string::npos);
}

}  // namespace
}  // namespace tarn

// The install end to end: the headless launcher in a folder of its own
// against the reference service, the folder dialog
// answered by the script, and the service's access log as the witness of
// what went over the wire.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bridge/log.h"
#include "bridge/text.h"
#include "client/file_list.h"
#include "download/session.h"
#include "install/progress.h"
#include "support/launcher.h"
#include "support/run_program.h"
#include "support/service_launcher.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::ScriptLine;
using test::WriteFile;

constexpr uint64_t MiB = 1024 * 1024;

// The most memory a launcher run over damaged state files may take. Under
// AddressSanitizer its shadow and its quarantine of freed blocks come on
// top (60 to 120 MiB measured), so the bound there only tells a bounded
// read from a whole one (hundreds of MiB).
#if defined(__SANITIZE_ADDRESS__)
constexpr long kPeakLimitKiB = 256 * 1024;
#else
constexpr long kPeakLimitKiB = 64 * 1024;
#endif

std::string Random(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(gen());
  return bytes;
}

fs::path Below(const fs::path& folder, std::string listPath) {
  for (char& c : listPath)
    if (c == '\\') c = '/';
  return folder / test::Utf8Path(listPath);
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// The stage of every install Event, in order.
std::vector<std::string> Stages(const std::vector<std::string>& lines) {
  std::vector<std::string> stages;
  for (const std::string& line : lines)
    if (StartsWith(line, R"({"install":)")) stages.push_back(JsonString(line, "stage"));
  return stages;
}

// The same with repeats in a row folded into one.
std::vector<std::string> Folded(const std::vector<std::string>& stages) {
  std::vector<std::string> folded;
  for (const std::string& s : stages)
    if (folded.empty() || folded.back() != s) folded.push_back(s);
  return folded;
}

std::vector<std::string> Errors(const std::vector<std::string>& lines) {
  std::vector<std::string> errors;
  for (const std::string& line : lines)
    if (StartsWith(line, R"({"install":)") && JsonString(line, "stage") == "ошибка")
      errors.push_back(JsonString(line, "error"));
  return errors;
}

// How many failures offered another folder.
size_t FolderErrors(const std::vector<std::string>& lines) {
  size_t n = 0;
  for (const std::string& line : lines)
    n += StartsWith(line, R"({"install":)") && line.find(R"(,"folderError":true}})") != std::string::npos;
  return n;
}

// The top-level key of every Event (host lines and "env" left out).
std::vector<std::string> Keys(const std::vector<std::string>& lines) {
  std::vector<std::string> keys;
  for (const std::string& line : lines) {
    if (line.size() < 3 || line[0] != '{' || line[1] != '"') continue;
    const std::string key = line.substr(2, line.find('"', 2) - 2);
    if (key != "host" && key != "env") keys.push_back(key);
  }
  return keys;
}

using V = std::vector<std::string>;

class InstallEndToEnd : public test::ServiceLauncherTest {
 protected:
  void SetUp() override {
    // Accounts and news of the demo, a client of our own: one large pack
    // that takes seconds under a throttle, and small files around it.
    ASSERT_NO_FATAL_FAILURE(MakeSite({"--size-mib", "1", "--files", "8"}));
    const std::map<std::string, std::string> files = {
        {"ElementClient.exe", "MZ stand-in"},
        {"config/game.cfg", "fps=60\n"},
        {"data/a.pck", Random(100'000, 1)},
        {"data/big.pck", Random(2'500'000, 2)},
        {"data/пусто.dat", ""},
        {"Прочти меня.txt", "Привет"},
    };
    for (const auto& [path, bytes] : files) WriteFile(site_ / "client" / test::Utf8Path(path), bytes);
    ASSERT_TRUE(test::PublishSite(site_, 3));
    std::string text;
    ASSERT_TRUE(VerifyListSignature(ReadFile(site_ / "TRN" / "element" / "files.md5"), text));
    list_ = ParseFileList(text);
    ASSERT_EQ(list_.entries.size(), files.size());
    for (const FileEntry& e : list_.entries) total_ += e.size;
    PlaceLauncher();
  }

  static std::string Pick(const fs::path& folder) { return ":pick " + test::PathUtf8(folder) + "\n"; }

  // Every listed file below folder holds the site's bytes, and nothing the
  // install left on the way (".part" files, the write probe) remains.
  void ExpectInstalled(const fs::path& folder) {
    for (const FileEntry& e : list_.entries)
      EXPECT_EQ(ReadFile(Below(folder, e.path)), ReadFile(Below(site_ / "client", e.path))) << e.path;
    size_t extra = 0;
    for (const auto& item : fs::recursive_directory_iterator(folder))
      if (item.is_regular_file()) ++extra;
    EXPECT_EQ(extra, list_.entries.size() + 1);  // + the version file
    EXPECT_EQ(ReadFile(folder / "config" / "element" / "version.sw"), "3 0\n");
  }
  uint64_t FileBytesSent() const { return service_.BytesSent("/api/file"); }
  std::string Cfg() const { return ReadFile(launcher_ / "data" / "install.cfg"); }
  fs::path Journal() const { return launcher_ / "data" / "install.done"; }
  std::string Log() const { return ReadFile(launcher_ / "launcher.log"); }
  static std::string CfgText(const fs::path& folder, const std::string& state) {
    return "path=" + test::PathUtf8(folder) + "\r\nstate=" + state + "\r\nversion=3\r\n";
  }
  const FileEntry& Entry(const std::string& path) const {
    for (const FileEntry& e : list_.entries)
      if (e.path == path) return e;
    ADD_FAILURE() << "not listed: " << path;
    return list_.entries.front();
  }

  // Runs the headless launcher in a mount namespace of its own after the
  // shell commands of setup; nullopt when this machine allows no mounting.
  std::optional<test::ProgramRun> RunWithMounts(const std::string& setup, const std::string& script) {
    const auto run = test::RunProgram("/usr/bin/unshare", script,
                                      {"-m", "--propagation", "private", "sh", "-c",
                                       "{ " + setup + "; } || exit 97; exec '" + exe_.string() + "'"});
    if (run.exitCode == 97 || (run.exitCode != 0 && run.out.empty())) return std::nullopt;
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return run;
  }

  fs::path games_ = root_.path() / test::Utf8Path("Игры");
  FileList list_;
  uint64_t total_ = 0;
};

TEST_F(InstallEndToEnd, AFreshInstallLandsWholeAndTheNextStartSeesIt) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  const fs::path folder = games_ / test::Utf8Path("ТАРН");
  const auto lines = RunScript(Pick(games_) + ScriptLine("install.folder") + ":wait\n" + ScriptLine("ui.ready") + ":wait\n");

  EXPECT_EQ(Folded(Stages(lines)), (V{"готовлюсь", "проверяю", "идёт", "готово"}));
  // The run's follow-ups in their order, then the start-up push of an
  // installed client.
  const V keys = Keys(lines);
  const auto done = std::find(keys.begin(), keys.end(), "progress");
  ASSERT_NE(done, keys.end());
  EXPECT_EQ(V(done - 5, keys.end()), (V{"install", "epoch", "news", "accounts", "update", "progress", "install", "epoch",
                                        "news", "accounts", "update", "progress", "limit"}));
  // The service's build is asked once by the finished run (to stamp the
  // client, then shown and compared) and once by the start-up push: every
  // question costs a distant player round trips.
  size_t buildAsked = 0;
  for (const test::AccessEntry& e : service_.AccessLog()) buildAsked += e.target == "/TRN/element/version";
  EXPECT_EQ(buildAsked, 2u);
  const std::string finished = lines[std::find_if(lines.begin(), lines.end(),
                                                  [](const std::string& l) {
                                                    return StartsWith(l, R"({"install")") &&
                                                           JsonString(l, "stage") == "готово";
                                                  }) -
                                     lines.begin()];
  const std::string n = std::to_string(list_.entries.size());
  const std::string t = std::to_string(total_);
  EXPECT_NE(finished.find(R"("path":")" + JsonEscape(test::PathUtf8(folder)) + R"(","file":"","error":"","totalBytes":)" + t +
                          R"(,"doneBytes":)" + t),
            std::string::npos)
      << finished;
  EXPECT_NE(finished.find(R"("totalFiles":)" + n + R"(,"doneFiles":)" + n + R"(,"speed":0,"eta":0,"version":3}})"),
            std::string::npos)
      << finished;

  ExpectInstalled(folder);
  EXPECT_EQ(Cfg(), CfgText(folder, "готово"));
  EXPECT_FALSE(fs::exists(Journal()));
  EXPECT_EQ(FileRequests().size(), list_.entries.size());
  EXPECT_EQ(FileBytesSent(), total_);
  EXPECT_NE(Log().find(LogLineBytes("установка в " + test::PathUtf8(folder) + ": файлов " + n + ", качать " + n + " (" +
                                    FormatSize(total_) + ")")),
            std::string::npos);
}

TEST_F(InstallEndToEnd, TheStampIsTheSignedListsBuildWhateverTheVersionDocumentSays) {
  // Stamped 8, build 3's files would never be offered the real build 8.
  WriteFile(site_ / "TRN" / "element" / "version", "8\n");
  ASSERT_NO_FATAL_FAILURE(StartService());
  const fs::path folder = games_ / test::Utf8Path("ТАРН");
  const auto lines = RunScript(Pick(games_) + ScriptLine("install.folder") + ":wait\n");
  ExpectInstalled(folder);
  EXPECT_EQ(ReadFile(launcher_ / "data" / "build.floor"), "3\n");
  const auto epoch = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return StartsWith(l, R"({"epoch")"); });
  ASSERT_NE(epoch, lines.end());
  EXPECT_NE(epoch->find(R"("build":3,"remote":3)"), std::string::npos) << *epoch;
  EXPECT_NE(Log().find(LogLineBytes("сервер называет сборку 8, а подписанный список — 3: верю списку")), std::string::npos);
}

TEST_F(InstallEndToEnd, FolderRulesRefusalsAndCancel) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  const fs::path plainFile = root_.path() / test::Utf8Path("файл");
  WriteFile(plainFile, "x");
  const std::string control = test::PathUtf8(games_) + "/a\tb";
  const std::string quote = test::PathUtf8(games_) + "/\"Игры\"";
  // Another spelling of "ТАРН"; Windows folds case, so there it is the
  // folder itself and another name stands in.
#ifdef _WIN32
  const fs::path spelling = test::Utf8Path("ТАРН-2");
#else
  const fs::path spelling = test::Utf8Path("тарн");
#endif
  const auto lines = RunScript(":pick-cancel\n" + ScriptLine("install.folder") + ":wait\n" +  //
                         ":pick //server/share\n" + ScriptLine("install.folder") + ":wait\n" +
                         ":pick " + control + "\n" + ScriptLine("install.folder") + ":wait\n" +
                         Pick(plainFile) + ScriptLine("install.folder") + ":wait\n" +
                         ":pick " + test::PathUtf8(games_ / test::Utf8Path("ТАРН")) + "//\n" + ScriptLine("install.folder") + ":wait\n" +
                         Pick(games_ / spelling) + ScriptLine("install.folder") + ":wait\n" +
                         ":pick " + quote + "\n" + ScriptLine("install.folder") + ":wait\n" +
                         ":pick relative/Игры\n" + ScriptLine("install.folder") + ":wait\n");

  EXPECT_EQ(Folded(Stages(lines)), (V{"готовлюсь", "нет", "готовлюсь", "ошибка", "готовлюсь", "ошибка", "готовлюсь",
                                      "ошибка", "готовлюсь", "проверяю", "идёт", "готово", "готовлюсь", "проверяю",
                                      "идёт", "готово", "готовлюсь", "ошибка", "готовлюсь", "ошибка"}));
  const V errors = Errors(lines);
  ASSERT_EQ(errors.size(), 5u);
  EXPECT_TRUE(StartsWith(errors[0], "Сетевые папки для установки не подходят")) << errors[0];
  EXPECT_NE(errors[1].find("управляющие символы"), std::string::npos) << errors[1];
  EXPECT_EQ(errors[2], "Не удалось создать папку «" + test::PathUtf8(plainFile / test::Utf8Path("ТАРН")) +
                           "». Выберите другое место — например, на диске с играми, а не в системных папках Windows.");
  // A quote would break the game's command line; a relative path would land
  // wherever the launcher happened to be started from.
  EXPECT_NE(errors[3].find("Windows не допускает в именах"), std::string::npos) << errors[3];
  EXPECT_NE(errors[4].find("не полным путём"), std::string::npos) << errors[4];
  for (const std::string& refused : {control, quote}) EXPECT_FALSE(fs::exists(test::Utf8Path(refused))) << refused;
  EXPECT_FALSE(fs::exists("relative"));
  // A folder named exactly "ТАРН" is used as it is; another spelling gets one.
  ExpectInstalled(games_ / test::Utf8Path("ТАРН"));
  ExpectInstalled(games_ / spelling / test::Utf8Path("ТАРН"));
  EXPECT_EQ(Cfg(), CfgText(games_ / spelling / test::Utf8Path("ТАРН"), "готово"));
}

TEST_F(InstallEndToEnd, StopDuringTheCheckAndDuringTheDownload) {
  // Every answer waits, so the stop arrives while the list is on its way and
  // is seen before the first file is examined.
  ASSERT_NO_FATAL_FAILURE(StartService({"--delay", "800"}));
  auto lines = RunScript(Pick(games_) + ScriptLine("install.folder") + ":sleep 300\n" + ScriptLine("install.stop") + ":wait\n");
  EXPECT_EQ(Folded(Stages(lines)), (V{"готовлюсь", "проверяю", "продолжить"}));
  EXPECT_FALSE(fs::exists(launcher_ / "data" / "install.cfg"));

  // The whole site takes about five seconds at this pace, so the stop at
  // 2.5 s always finds a pack under way, however quick the machine.
  ASSERT_TRUE(service_.SetFaults("--throttle 500000"));
  lines = RunScript(Pick(games_) + ScriptLine("install.folder") + ":sleep 2500\n" + ScriptLine("install.stop") + ":wait\n");
  EXPECT_EQ(Folded(Stages(lines)), (V{"готовлюсь", "проверяю", "идёт", "продолжить"}));
  EXPECT_EQ(Cfg(), CfgText(games_ / test::Utf8Path("ТАРН"), "идёт"));
  const fs::path part = Below(games_ / test::Utf8Path("ТАРН"), "data\\big.pck.part");
  ASSERT_TRUE(fs::exists(part));
  const uint64_t held = fs::file_size(part);
  EXPECT_GT(held, 0u);
  EXPECT_LT(held, 2'500'000u);
  // What the disk holds is exactly what the service sent.
  uint64_t onDisk = held;
  for (const FileEntry& e : list_.entries)
    if (fs::exists(Below(games_ / test::Utf8Path("ТАРН"), e.path))) onDisk += e.size;
  EXPECT_EQ(FileBytesSent(), onDisk);
}

TEST_F(InstallEndToEnd, PauseRepeatsAndResumeContinuesThePartFile) {
  ASSERT_NO_FATAL_FAILURE(StartService({"--throttle", "1000000"}));
  const auto lines = RunScript(Pick(games_) + ScriptLine("install.folder") + ":sleep 1200\n" + ScriptLine("install.pause") +
                         ":sleep 300\n" + ScriptLine("game.launch\n{\"login\":\"demo\"}") + ":sleep 1000\n" +
                         ScriptLine("install.resume") + ":wait\n");
  // A paused install still owns the client: the game is not started from it.
  V progress;
  for (const std::string& line : lines)
    if (StartsWith(line, R"({"progress")")) progress.push_back(line);
  EXPECT_EQ(progress.front(), test::Progress("Дождитесь окончания установки", 0, true));
  EXPECT_EQ(std::count(progress.begin(), progress.end(), progress.front()), 1);
  EXPECT_EQ(Log().find(LogLineBytes("запуск игры: логин=demo персонаж=(не выбран)")), std::string::npos);
  const V stages = Stages(lines);
  EXPECT_EQ(Folded(stages), (V{"готовлюсь", "проверяю", "идёт", "пауза", "идёт", "готово"}));
  EXPECT_GE(std::count(stages.begin(), stages.end(), "пауза"), 4);
  ExpectInstalled(games_ / test::Utf8Path("ТАРН"));

  // The big file came in two requests that meet exactly: no byte twice.
  // Wine's WinHTTP keeps a closed request's connection until its read under
  // way returns, so there the service's next write (a twentieth of its
  // rate) still goes out.
  std::vector<test::AccessEntry> big;
  for (const test::AccessEntry& e : FileRequests())
    if (e.target == test::FileTarget("data\\big.pck")) big.push_back(e);
  ASSERT_EQ(big.size(), 2u);
  EXPECT_EQ(big[0].range, "-");
  EXPECT_EQ(big[1].status, 206);
  ASSERT_EQ(big[1].range.rfind("bytes=", 0), 0u);
  const uint64_t resumedAt = std::stoull(big[1].range.substr(6));
#ifdef _WIN32
  EXPECT_LE(resumedAt, big[0].bytes);
  EXPECT_LE(FileBytesSent() - total_, 1'000'000u / 20);
#else
  EXPECT_EQ(resumedAt, big[0].bytes);
  EXPECT_EQ(FileBytesSent(), total_);
#endif
}

TEST_F(InstallEndToEnd, AFileFailingThreeTimesIsRetriedAfter2And4SecondsAndNotWaitedForAfter) {
  ASSERT_NO_FATAL_FAILURE(StartService({"--status", "data/a.pck=500"}));
  const auto started = std::chrono::steady_clock::now();
  const auto lines = RunScript(Pick(games_) + ScriptLine("install.folder") + ":wait\n");
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, std::chrono::seconds(6));
  EXPECT_LT(took, std::chrono::seconds(9));  // a wait after the last try would make it 12
  const std::string refused = DownloadResultText(DownloadResult::ServerRefused);
  EXPECT_EQ(Errors(lines), (V{"Не удалось скачать «data\\a.pck». " + refused}));
  EXPECT_EQ(Folded(Stages(lines)).back(), "ошибка");
  const std::string log = Log();
  size_t at = 0;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    at = log.find(LogLineBytes("повтор data\\a.pck (попытка " + std::to_string(attempt) + "): " + refused), at);
    EXPECT_NE(at, std::string::npos) << attempt;
  }
  EXPECT_EQ(log.find(LogLineBytes("повтор data\\a.pck (попытка 4): " + refused)), std::string::npos);
  size_t tries = 0;
  for (const test::AccessEntry& e : FileRequests()) tries += e.target == test::FileTarget("data\\a.pck");
  EXPECT_EQ(tries, 3u);
  EXPECT_EQ(Cfg(), CfgText(games_ / test::Utf8Path("ТАРН"), "идёт"));
}

TEST_F(InstallEndToEnd, TheJournalIsTrustedOnlyForItsOwnFolder) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  // An interrupted install into mine/ТАРН recorded every file; one of them
  // has since changed on disk without changing its size.
  const fs::path mine = games_ / test::Utf8Path("ТАРН");
  fs::create_directories(mine.parent_path());
  fs::copy(site_ / "client", mine, fs::copy_options::recursive);
  const std::string changed = std::string(100'000, 'x');
  WriteFile(Below(mine, "data\\a.pck"), changed);
  const auto record = [&] {
    WriteFile(launcher_ / "data" / "install.cfg", CfgText(mine, "идёт"));
    std::string journal;
    for (const FileEntry& e : list_.entries) journal += e.md5 + "\t" + e.path + "\r\n";
    WriteFile(Journal(), journal);
  };
  record();
  // The same files in another folder, with the same change.
  const fs::path other = root_.path() / test::Utf8Path("другое") / test::Utf8Path("ТАРН");
  fs::create_directories(other.parent_path());
  fs::copy(mine, other, fs::copy_options::recursive);

  // Resuming into the recorded folder trusts the journal: nothing is
  // fetched and the run goes from the check straight to the end.
  auto lines = RunScript(ScriptLine("install.resume") + ":wait\n");
  EXPECT_EQ(Folded(Stages(lines)), (V{"готовлюсь", "проверяю", "готово"}));
  EXPECT_EQ(FileRequests().size(), 0u);
  EXPECT_EQ(ReadFile(Below(mine, "data\\a.pck")), changed);

  // Choosing the other folder: the journal speaks for mine/ТАРН only, so
  // the changed file there is found and fetched again.
  record();
  lines = RunScript(Pick(other) + ScriptLine("install.folder") + ":wait\n");
  EXPECT_EQ(Folded(Stages(lines)), (V{"готовлюсь", "проверяю", "идёт", "готово"}));
  ASSERT_EQ(FileRequests().size(), 1u);
  EXPECT_EQ(FileRequests()[0].target, test::FileTarget("data\\a.pck"));
  ExpectInstalled(other);
  EXPECT_FALSE(fs::exists(Journal()));
}

TEST_F(InstallEndToEnd, AKilledLauncherResumesWithLittleSentTwice) {
#ifdef _WIN32
  GTEST_SKIP() << "the launcher is killed by the Linux suite's shell";
#endif
  ASSERT_NO_FATAL_FAILURE(StartService({"--throttle", "1000000"}));
  test::TempDir io;
  WriteFile(io.path() / "in", Pick(games_) + ScriptLine("install.folder") + ":wait\n");
  const auto killed = test::RunProgram(
      "/bin/sh", "",
      {"-c", "'" + exe_.string() + "' < '" + (io.path() / "in").string() +
                 "' > /dev/null 2>&1 & p=$!; sleep 1.5; kill -9 $p; wait $p; exit 0"});
  ASSERT_EQ(killed.exitCode, 0) << killed.err;
  EXPECT_EQ(Cfg(), CfgText(games_ / test::Utf8Path("ТАРН"), "идёт"));
  ASSERT_TRUE(fs::exists(Below(games_ / test::Utf8Path("ТАРН"), "data\\big.pck.part")));

  ASSERT_TRUE(service_.SetFaults(""));
  const auto lines = RunScript(ScriptLine("install.resume") + ":wait\n");
  EXPECT_EQ(Folded(Stages(lines)).back(), "готово");
  ExpectInstalled(games_ / test::Utf8Path("ТАРН"));
  EXPECT_GE(FileBytesSent(), total_);
  EXPECT_LE(FileBytesSent(), total_ + 256 * 1024);
}

TEST_F(InstallEndToEnd, InstallAndUpdateNeverWriteTheClientAtOnce) {
  // Slow answers keep each side busy while the other asks.
  ASSERT_NO_FATAL_FAILURE(StartService({"--delay", "600"}));
  const auto lines =
      RunScript(ScriptLine("client.update") + ":sleep 250\n" + ScriptLine("install.folder") + ":wait\n" + Pick(games_) +
          ScriptLine("install.folder") + ":sleep 250\n" + ScriptLine("client.update") + ":wait\n");
  // The install turned away by the update says so, without a dialog.
  const V stages = Stages(lines);
  ASSERT_FALSE(stages.empty());
  EXPECT_EQ(stages.front(), "ошибка");
  EXPECT_EQ(Errors(lines).front(),
            "Сейчас идёт обновление клиента, а оно пишет в те же файлы. Дождитесь, пока оно закончится, и нажмите "
            "«Продолжить».");
  // Another folder would not help here.
  EXPECT_EQ(FolderErrors(lines), 0u);
  EXPECT_EQ(Folded(V(stages.begin() + 1, stages.end())), (V{"готовлюсь", "проверяю", "идёт", "готово"}));
  // The update turned away by the install tells the page it may act again.
  const std::string row = R"({"verify":[{"state":"bad","label":"Обновление не начато: идёт установка игры","text":"Ошибка"}]})";
  const std::string ready = R"({"progress":{"status":"Обновление не начато: идёт установка игры","percent":0,"ready":true}})";
  const auto at = std::find(lines.begin(), lines.end(), row);
  ASSERT_NE(at, lines.end());
  ASSERT_NE(at + 1, lines.end());
  EXPECT_EQ(*(at + 1), ready);
  ExpectInstalled(games_ / test::Utf8Path("ТАРН"));
}

TEST_F(InstallEndToEnd, AFolderNameWindowsForbidsIsRefusedUntouchedAndOffersAnotherFolder) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  const auto lines = RunScript(Pick(games_ / test::Utf8Path("Игры?")) + ScriptLine("install.folder") + ":wait\n");
  const V errors = Errors(lines);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("Windows не допускает"), std::string::npos) << errors[0];
  EXPECT_EQ(FolderErrors(lines), 1u);
  EXPECT_FALSE(fs::exists(games_ / test::Utf8Path("Игры?")));
}

TEST_F(InstallEndToEnd, UnwritableFolderNotEnoughSpaceAndADiskFillingUp) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  const std::string disks = test::PathUtf8(root_.path() / "disks");
  fs::create_directories(root_.path() / "disks");
  const auto run = RunWithMounts(
      "mount -t tmpfs -o size=2m tmpfs '" + disks + "' && mkdir '" + disks + "/ro' '" + disks + "/full' && " +
          "mount -t tmpfs -o size=1m tmpfs '" + disks + "/ro' && mkdir '" + disks + "/ro/ТАРН' && " +
          "mount -o remount,ro '" + disks + "/ro' && mount -t tmpfs -o size=70m tmpfs '" + disks + "/full'",
      ":pick " + disks + "/ro/ТАРН\n" + ScriptLine("install.folder") + ":wait\n" +  //
          ":pick " + disks + "\n" + ScriptLine("install.folder") + ":wait\n");
  if (!run) GTEST_SKIP() << "no mount namespace here: unshare -m or mount is not allowed";
  const V errors = Errors(run->lines());
  ASSERT_EQ(errors.size(), 2u);
  // Both are the folder's or the disk's: the page offers another folder.
  EXPECT_EQ(FolderErrors(run->lines()), 2u);
  EXPECT_EQ(errors[0], "В папку «" + disks +
                           "/ro/ТАРН» нельзя записывать. Обычно так ведут себя «Program Files» и системный диск: "
                           "выберите папку, которой распоряжаетесь вы.");
  EXPECT_EQ(errors[1], "На диске не хватает места. Нужно " + FormatSize(total_ + total_ / 32 + 64 * MiB) +
                           ", а свободно " + FormatSize(2 * MiB) +
                           ". Освободите место или выберите другой диск — уже скачанное сохранено.");

  // Room for the check, then the disk fills up while the big file arrives:
  // the run ends at once, without retries.
  ASSERT_TRUE(service_.SetFaults("--throttle 1000000"));
  const auto full = RunWithMounts(
      "mount -t tmpfs -o size=70m tmpfs '" + disks + "' && { ( sleep 1; cat /dev/zero > '" + disks +
          "/filler' 2>/dev/null ) & }",
      ":pick " + disks + "\n" + ScriptLine("install.folder") + ":wait\n");
  ASSERT_TRUE(full);
  EXPECT_EQ(Errors(full->lines()), (V{"Не удалось скачать «data\\big.pck». " + DownloadResultText(DownloadResult::DiskFull)}));
  EXPECT_EQ(FolderErrors(full->lines()), 1u);
  EXPECT_EQ(Log().find(LogLineBytes("повтор")), std::string::npos);
}

TEST_F(InstallEndToEnd, InstallBeginTakesTheShownFolderWithoutADialog) {
#ifdef _WIN32
  GTEST_SKIP() << "the suggestion is made from HOME by the Linux suite; Windows asks its shell";
#else
  ASSERT_NO_FATAL_FAILURE(StartService());
  // The suggestion is made from the home folder's disk: a home of the
  // test's own, so nothing lands in the real one.
  const fs::path home = root_.path() / test::Utf8Path("дом");
  fs::create_directories(home);
  const char* realHome = std::getenv("HOME");
  const std::string savedHome = realHome ? realHome : "";
  setenv("HOME", home.c_str(), 1);
  const auto shownBy = [](const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
      if (StartsWith(line, R"({"install")") && JsonString(line, "stage") == "нет") return JsonString(line, "path");
    return std::string();
  };
  const std::string shown = shownBy(RunScript(ScriptLine("ui.ready") + ":wait\n"));
  if (shown != test::PathUtf8(home / test::Utf8Path("Игры") / test::Utf8Path("ТАРН"))) {
    setenv("HOME", savedHome.c_str(), 1);
    GTEST_SKIP() << "another disk here has more room than the home folder's: " << shown;
  }
  const auto lines = RunScript(ScriptLine("ui.ready") + ":wait\n" + ScriptLine("install.begin") + ":wait\n");
  setenv("HOME", savedHome.c_str(), 1);
  EXPECT_EQ(shownBy(lines), shown);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), R"({"host":{"dialog":"folder"}})"), 0);
  EXPECT_EQ(Folded(Stages(lines)), (V{"готовлюсь", "нет", "готовлюсь", "проверяю", "идёт", "готово"}));
  ExpectInstalled(home / test::Utf8Path("Игры") / test::Utf8Path("ТАРН"));
  EXPECT_EQ(Cfg(), CfgText(home / test::Utf8Path("Игры") / test::Utf8Path("ТАРН"), "готово"));
#endif
}

TEST_F(InstallEndToEnd, TheLauncherOwnFoldersAreRefusedBeforeAnythingIsWritten) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  // A portable launcher in …/ТАРН/bin keeps its state beside itself.
  const fs::path own = root_.path() / test::Utf8Path("ТАРН") / "bin";
  fs::create_directories(own / "data");
  const fs::path exe = PlaceLauncher(own);
  // A game folder whose "data" leads into the launcher's data by a link
  // (folder links are made by the Linux suite).
  std::string linked;
#ifndef _WIN32
  fs::create_directories(games_ / test::Utf8Path("ТАРН"));
  fs::create_directory_symlink(own / "data", games_ / test::Utf8Path("ТАРН") / "data");
  linked = Pick(games_) + ScriptLine("install.folder") + ":wait\n";
#endif
  const auto run = test::RunProgram(exe, Pick(root_.path()) + ScriptLine("install.folder") + ":wait\n" +  // holds it
                                             Pick(own / "data") + ScriptLine("install.folder") + ":wait\n" +
                                             Pick(own.parent_path()) + ScriptLine("install.folder") + ":wait\n" +
                                             linked);
  const V errors = Errors(run.lines());
  ASSERT_EQ(errors.size(), linked.empty() ? 3u : 4u) << run.out;
  for (size_t i = 0; i < 3; ++i)
    EXPECT_TRUE(StartsWith(errors[i], "В этой папке лежат сам лаунчер или его данные")) << errors[i];
  if (!linked.empty()) {
    EXPECT_TRUE(StartsWith(errors[3], "Файл списка «data\\")) << errors[3];
  }
  EXPECT_FALSE(fs::exists(own / "data" / "install.cfg"));
  EXPECT_FALSE(fs::exists(own / "data" / test::Utf8Path("ТАРН")));
  EXPECT_EQ(std::distance(fs::directory_iterator(own / "data"), fs::directory_iterator()), 0);
  EXPECT_EQ(FileRequests().size(), 0u);

  // A game folder inside the launcher's own, beside its data, is fine.
  fs::remove(games_ / test::Utf8Path("ТАРН") / "data");
  const auto inside = test::RunProgram(exe, Pick(own) + ScriptLine("install.folder") + ":wait\n");
  EXPECT_EQ(Folded(Stages(inside.lines())).back(), "готово");
  ExpectInstalled(own / test::Utf8Path("ТАРН"));
}

// The service's toasts asking to wait, in order: the seconds each names.
V ServiceWaits(const std::vector<std::string>& lines) {
  V waits;
  for (const std::string& line : lines) {
    const std::string text = JsonString(line, "text");
    const size_t at = text.find("просит подождать ");
    if (StartsWith(line, R"({"toast")") && at != std::string::npos)
      waits.push_back(text.substr(at + 32, text.find(' ', at + 32) - at - 32));
  }
  return waits;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(InstallEndToEnd, AServiceThatAsksToWaitIsWaitedForAndThePlayerIsTold) {
  // Busy for the list's first request and a pack's first: each says when
  // to come back, longer than the launcher's own first wait of 2 s.
  ASSERT_NO_FATAL_FAILURE(StartService(
      {"--status", "/TRN/element/files.md5=503*1", "--status", "data/a.pck=503*1", "--retry-after", "3"}));
  const auto start = std::chrono::steady_clock::now();
  const auto lines = RunScript(Pick(games_) + ScriptLine("install.folder") + ":wait\n");
  EXPECT_GE(SecondsSince(start), 6.0);
  EXPECT_EQ(ServiceWaits(lines), (V{"3", "3"}));
  ASSERT_EQ(Folded(Stages(lines)).back(), "готово");
  ExpectInstalled(games_ / test::Utf8Path("ТАРН"));
}

TEST_F(InstallEndToEnd, AServiceWaitIsBoundedAndAStopEndsIt) {
  // An HTTP date a day ahead: the launcher waits its own longest, and a stop
  // ends that wait at once.
  const std::time_t later = std::time(nullptr) + 86400;
  char date[40];
  const std::tm* tm = std::gmtime(&later);
  ASSERT_NE(tm, nullptr);
  ASSERT_GT(std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", tm), 0u);
  ASSERT_NO_FATAL_FAILURE(StartService({"--status", "data/a.pck=503*1", "--retry-after", date}));
  const auto start = std::chrono::steady_clock::now();
  const auto lines = RunScript(Pick(games_) + ScriptLine("install.folder") + ":sleep 2500\n" +
                               ScriptLine("install.stop") + ":wait\n");
  EXPECT_LT(SecondsSince(start), 6.0);
  EXPECT_EQ(ServiceWaits(lines), (V{"60"}));
  EXPECT_EQ(Folded(Stages(lines)).back(), "продолжить");

  // So for the list, and a run stopped there is no failure.
  ASSERT_TRUE(service_.SetFaults("--status /TRN/element/files.md5=503*1 --retry-after 600"));
  const auto again = std::chrono::steady_clock::now();
  const auto listed = RunScript(ScriptLine("install.resume") + ":sleep 1500\n" + ScriptLine("install.stop") + ":wait\n");
  EXPECT_LT(SecondsSince(again), 5.0);
  EXPECT_EQ(ServiceWaits(listed), (V{"60"}));
  EXPECT_EQ(Errors(listed), V{});
  EXPECT_EQ(Folded(Stages(listed)).back(), "продолжить");
}

TEST_F(InstallEndToEnd, OversizedStateFilesCostLittleAndKeepTheirUsefulPart) {
  ASSERT_NO_FATAL_FAILURE(StartService());
  const fs::path folder = games_ / test::Utf8Path("ТАРН");
  // Each record as the launcher wrote it, then 200 MiB of damage (sparse:
  // the disk is not filled, the reader sees zeros).
  const auto damaged = [](const fs::path& file, const std::string& start) {
    WriteFile(file, start);
    fs::resize_file(file, 200 * MiB);
  };
  damaged(launcher_ / "data" / "install.cfg", CfgText(folder, "идёт"));
  damaged(Journal(), "folder=" + test::PathUtf8(folder) + "\r\n");
  damaged(launcher_ / "data" / "accounts.dat", "demo\tzz\r\n");

  const auto run = test::RunProgram(exe_, ScriptLine("ui.ready") + ":wait\n" + ScriptLine("accounts.refresh") +
                                              ScriptLine("open.clientdir") + ":wait\n" +
                                              ScriptLine("install.resume") + ":wait\n");
  ASSERT_EQ(run.exitCode, 0) << run.err;
#ifndef _WIN32  // a program under Wine tells the test no peak
  EXPECT_GT(run.maxRssKiB, 0);
#endif
  EXPECT_LT(run.maxRssKiB, kPeakLimitKiB) << "KiB at the peak";
  const auto lines = run.lines();
  // The start-up saw the interrupted install and the stored account.
  const V stages = Folded(Stages(lines));
  EXPECT_EQ(V(stages.begin(), stages.begin() + 2), (V{"готовлюсь", "продолжить"}));
  EXPECT_NE(std::find(lines.begin(), lines.end(), R"({"accounts":[{"login":"demo","chars":[]}]})"), lines.end());
  EXPECT_EQ(stages.back(), "готово");
  ExpectInstalled(folder);
  EXPECT_EQ(Cfg(), CfgText(folder, "готово"));  // the damage went with the next write
  const std::u16string log = test::LogUnits(Log());
  for (const char* said : {"install.cfg больше 8 КиБ", "install.done больше", "accounts.dat больше 256 КиБ"})
    EXPECT_NE(log.find(Utf8ToWide(said)), std::u16string::npos) << said;
}

}  // namespace
}  // namespace tarn

// The client update and the update check end to end: the headless launcher
// in a folder of its own against the reference service, with lists signed
// by the publisher and the demo key the launcher is built with.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bridge/log.h"
#include "bridge/text.h"
#include "client/file_list.h"
#include "download/request_path.h"
#include "download/session.h"
#include "list_signing.h"
#include "support/launcher.h"
#include "support/run_program.h"
#include "support/service_launcher.h"
#include "support/temp_dir.h"
#include "update/update.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::ScriptLine;
using test::WriteFile;

using test::Progress;
using test::Row;
using test::Verify;

std::string NoUpdate(int local, int remote) {
  return R"({"update":{"available":false,"local":)" + std::to_string(local) + R"(,"remote":)" +
         std::to_string(remote) + "}}";
}

std::string RunState(std::string_view state) { return R"({"updateRun":{"state":")" + std::string(state) + R"("}})"; }

const std::string kFetching = Row("run", "Получаю список файлов", "Жду");
const std::string kListOk = Row("ok", "Список получен, подпись верна", "Готово");

// A list path ('\' separated) as a path below folder.
fs::path Below(const fs::path& folder, std::string listPath) {
  for (char& c : listPath)
    if (c == '\\') c = '/';
  return folder / test::Utf8Path(listPath);
}

std::string Slashed(std::string listPath) {
  for (char& c : listPath)
    if (c == '\\') c = '/';
  return listPath;
}

bool StartsWith(const std::string& s, std::string_view prefix) { return s.rfind(prefix, 0) == 0; }

std::vector<std::string> Only(const std::vector<std::string>& lines, std::vector<std::string_view> prefixes) {
  std::vector<std::string> kept;
  for (const std::string& line : lines)
    for (std::string_view p : prefixes)
      if (StartsWith(line, p)) kept.push_back(line);
  return kept;
}

// The percents of the update's "progress" lines while it downloads (its
// own and the pause's), in order; every other line goes to rest.
std::vector<int> DownloadPercents(const std::vector<std::string>& lines, std::vector<std::string>* rest = nullptr) {
  std::vector<int> percents;
  for (const std::string& line : lines) {
    if (StartsWith(line, R"({"progress":{"status":"Обновление клиента")") ||
        StartsWith(line, R"({"progress":{"status":"Обновление на паузе")")) {
      const size_t at = line.find(R"("percent":)");
      percents.push_back(at == std::string::npos ? -1 : std::stoi(line.substr(at + 10)));
    } else if (rest) {
      rest->push_back(line);
    }
  }
  return percents;
}

class UpdateEndToEnd : public test::ServiceLauncherTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(MakeSite({"--size-mib", "1", "--files", "8"}));
    PlaceLauncher();
    WriteFile(launcher_ / "data" / "install.cfg", "path=" + test::PathUtf8(game_) + "\r\nstate=готово\r\n");
  }

  // Publishes files (list path with '/', content) as the site's client and
  // installs an identical copy as the launcher's client.
  void Publish(const std::vector<std::pair<std::string, std::string>>& files, int build) {
    for (const auto& [path, bytes] : files) WriteFile(site_ / "client" / test::Utf8Path(path), bytes);
    ASSERT_TRUE(test::PublishSite(site_, build));
    fs::remove_all(game_);
    fs::create_directories(game_.parent_path());
    fs::copy(site_ / "client", game_, fs::copy_options::recursive);
  }
  std::vector<std::string> Run(const std::string& command) { return RunScript(ScriptLine(command) + ":wait\n"); }
  std::vector<FileEntry> Entries() {
    std::string text;
    EXPECT_TRUE(VerifyListSignature(ReadFile(site_ / "TRN" / "element" / "files.md5"), text));
    return ParseFileList(text).entries;
  }
  fs::path VersionFile() const { return game_ / "config" / "element" / "version.sw"; }
  void SetLocalBuild(const std::string& text) { WriteFile(VersionFile(), text); }
  void SetServerBuild(const std::string& text) { WriteFile(site_ / "TRN" / "element" / "version", text); }
  std::string Log() const { return ReadFile(launcher_ / "launcher.log"); }

  fs::path game_ = root_.path() / test::Utf8Path("Игры") / test::Utf8Path("ТАРН");
};

TEST_F(UpdateEndToEnd, NothingToUpdateStampsTheServerBuild) {
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ"}, {"data/a.pck", "aaaa"}, {"b.txt", "b"}}, 5));
  SetLocalBuild("3 0\n");
  // The operator names build 5; the epoch after the update says so.
  WriteFile(site_ / "TRN" / "element" / "epochs",
            test::SignedBody("3 1.4.0 35 61 Излом\n5 1.5 2 45 Оттепель\n", ReadFile(test::DemoPrivateKey())));
  ASSERT_NO_FATAL_FAILURE(StartService());

  const auto lines = Run("client.update");
  const std::vector<std::string> expected = {
      Verify({kFetching}),
      Verify({kListOk, Row("run", "Сверяю файлы", "0%")}),
      Verify({kListOk, Row("run", "Сверяю файлы — 1 из 3", "33%")}),
      Progress("Проверка перед обновлением", 33, false),
  };
  ASSERT_GT(lines.size(), expected.size() + 4);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4), expected);
  // Then the epoch of the stamped build and the check agreeing with it.
  EXPECT_EQ(lines[4],
            R"({"epoch":{"index":1,"label":"1.5 · Оттепель","next":"","days":2,"cycle":45,"build":5,"remote":5}})");
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 5, lines.end()),
            (std::vector<std::string>{
                NoUpdate(5, 5),
                Progress("Клиент актуален", 100, true),
                Progress("Клиент актуален", 100, true),
                Verify({kListOk, Row("ok", "Все файлы на месте", "Готово"),
                        Row("ok", "Клиент приведён к версии сервера", "Готово")}),
            }));
  EXPECT_EQ(ReadFile(VersionFile()), "5 0\n");
  EXPECT_EQ(service_.BytesSent("/api/file"), 0u);
}

TEST_F(UpdateEndToEnd, NoListedFileLandsOnTheLauncherRecordsThroughALink) {
#ifdef _WIN32
  GTEST_SKIP() << "folder links are made by the Linux suite";
#endif
  ASSERT_NO_FATAL_FAILURE(
      Publish({{"ElementClient.exe", "MZ"}, {"data/install.cfg", "path=/elsewhere\r\n"}, {"b.txt", "b"}}, 5));
  const fs::path data = launcher_ / "data";
  const std::string record = ReadFile(data / "install.cfg");
  fs::remove_all(game_ / "data");
  fs::create_directory_symlink(data, game_ / "data");
  ASSERT_NO_FATAL_FAILURE(StartService());

  const auto lines = Run("client.update");
  const std::string why = "Файл списка «data\\install.cfg» лёг бы на данные лаунчера — обновление отменено";
  EXPECT_EQ(lines.back(), Progress(JsonEscape(why), 0, true));
  EXPECT_NE(std::find(lines.begin(), lines.end(), Verify({kListOk, Row("bad", why, "Ошибка")})), lines.end());
  EXPECT_EQ(ReadFile(data / "install.cfg"), record);
  EXPECT_EQ(service_.BytesSent("/api/file"), 0u);
}

TEST_F(UpdateEndToEnd, NoListedFileLandsOnTheLauncherProgramThroughALink) {
#ifdef _WIN32
  GTEST_SKIP() << "folder links are made by the Linux suite";
#endif
  // A launcher reached from the client folder: where it connects is as much
  // its own as its data (the rest of its files: the folder rules' test).
  ASSERT_NO_FATAL_FAILURE(
      Publish({{"ElementClient.exe", "MZ"}, {"лаунчер/service.url", "http://127.0.0.1:9/"}, {"b.txt", "b"}}, 5));
  fs::remove_all(game_ / "лаунчер");
  fs::create_directory_symlink(launcher_, game_ / "лаунчер");
  ASSERT_NO_FATAL_FAILURE(StartService());
  const std::string url = ReadFile(launcher_ / "service.url");

  const auto lines = Run("client.update");
  const std::string why = "Файл списка «лаунчер\\service.url» лёг бы на данные лаунчера — обновление отменено";
  EXPECT_EQ(lines.back(), Progress(JsonEscape(why), 0, true));
  EXPECT_EQ(ReadFile(launcher_ / "service.url"), url);
  EXPECT_EQ(service_.BytesSent("/api/file"), 0u);
}

TEST_F(UpdateEndToEnd, StampingTheBuildLeavesAListedFileNamedLikeAnOldTemporary) {
  // The name of a temporary of version.sw whose writer (pid 99999999) is
  // long gone; but the list names it, so it is the game's.
  const std::string listed = "config/element/version.sw.99999999.abcdef";
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ"}, {listed, "the game's"}}, 5));
  SetLocalBuild("3 0\n");
  ASSERT_NO_FATAL_FAILURE(StartService());
  Run("client.update");
  EXPECT_EQ(ReadFile(VersionFile()), "5 0\n");
  EXPECT_EQ(ReadFile(Below(game_, listed)), "the game's");
}

TEST_F(UpdateEndToEnd, TwoOfFiveFailingAreShownLoggedAndLeaveTheBuildAlone) {
#ifdef _WIN32
  GTEST_SKIP() << "the names whose Base64 carries '+' and '/' hold '?', which Windows file names cannot";
#endif
  // Two names whose request tokens carry "-" and "_" where Base64 has "+"
  // and "/", so the service must decode what the launcher encodes.
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ v2"},
                                   {"data/~ы?.bin", std::string(70'000, 'q')},
                                   {"data/ы~~.bin", "plus"},
                                   {"тест?.dat", "slash"},
                                   {"data/big.pck", std::string(600'000, 'b')}},
                                  7));
  SetLocalBuild("6 0\n");
  const std::vector<FileEntry> entries = Entries();
  ASSERT_EQ(entries.size(), 5u);
  // Every local file differs from the list.
  for (const FileEntry& e : entries) WriteFile(Below(game_, e.path), "old");
  // The second and fourth files in list order are refused by the service.
  const std::string failA = entries[1].path;
  const std::string failB = entries[3].path;
  ASSERT_NO_FATAL_FAILURE(StartService({"--status", Slashed(failA) + "=500", "--status", Slashed(failB) + "=404"}));

  const auto lines = Run("client.update");
  const std::string refused = DownloadResultText(DownloadResult::ServerRefused);
  const std::string head = Row("ok", "Требуют обновления: 5 файлов", "Готово");
  std::vector<std::string> expected = {
      Verify({kFetching}),
      Verify({kListOk, Row("run", "Сверяю файлы", "0%")}),
      Verify({kListOk, Row("run", "Сверяю файлы — 1 из 5", "20%")}),
      Progress("Проверка перед обновлением", 20, false),
      Verify({kListOk, head, Row("run", "Загружаю", "0%")}),
      RunState("идёт"),
  };
  std::vector<std::string> failed;
  for (size_t j = 0; j < 5; ++j) {
    if (j == 1 || j == 3) failed.push_back(Row("bad", entries[j].path + " — " + refused, "Ошибка"));
    std::vector<std::string> rows = {kListOk, head,
                                     Row(failed.empty() ? "run" : "bad",
                                         "Загружаю — " + std::to_string(j + 1) + " из 5",
                                         std::to_string((j + 1) * 20) + "%")};
    rows.insert(rows.end(), failed.begin(), failed.end());
    expected.push_back(Verify(rows));
  }
  std::vector<std::string> last = {kListOk, head, Row("bad", "Обновление завершено с ошибками", "Ошибки")};
  last.insert(last.end(), failed.begin(), failed.end());
  expected.push_back(RunState(""));
  expected.push_back(Progress("Обновление завершено с ошибками", 100, true));
  expected.push_back(Verify(last));
  std::vector<std::string> rest;
  const std::vector<int> percents = DownloadPercents(lines, &rest);
  EXPECT_EQ(rest, expected);
  // The bar follows the bytes, whenever the workers bring them: each whole
  // percent once, rising, the refused files counted as dealt with.
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.back(), 100);
  EXPECT_TRUE(std::adjacent_find(percents.begin(), percents.end(), std::greater_equal<>()) == percents.end())
      << ::testing::PrintToString(percents);

  // The three good files are in place; the two refused ones are untouched.
  for (size_t j : {0, 2, 4})
    EXPECT_EQ(ReadFile(Below(game_, entries[j].path)), ReadFile(Below(site_ / "client", entries[j].path)))
        << entries[j].path;
  EXPECT_EQ(ReadFile(Below(game_, failA)), "old");
  EXPECT_EQ(ReadFile(VersionFile()), "6 0\n");
  const std::string log = Log();
  for (const std::string& path : {failA, failB})
    EXPECT_NE(log.find(LogLineBytes("не обновился " + path + ": " + refused)), std::string::npos) << path;
  // No token carried a character that a query would have to escape.
  size_t fileRequests = 0;
  for (const test::AccessEntry& e : service_.AccessLog()) {
    if (!StartsWith(e.target, "/api/file?n=")) continue;
    ++fileRequests;
    EXPECT_EQ(e.target.find_first_of("+/", 12), std::string::npos) << e.target;
  }
  EXPECT_EQ(fileRequests, 5u);
}

TEST_F(UpdateEndToEnd, ASecondUpdateWhileOneRunsIsTurnedAway) {
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ"}, {"data/a.pck", std::string(100'000, 'a')}}, 4));
  WriteFile(game_ / "data" / "a.pck", "old");
  // Every answer waits, so the first update is still running when the
  // second is asked for; both would write the same ".part" file.
  ASSERT_NO_FATAL_FAILURE(StartService({"--delay", "300"}));
  const auto runs = Only(RunScript(ScriptLine("client.update") + ScriptLine("client.update") + ":wait\n"), {Verify({kFetching})});
  EXPECT_EQ(runs.size(), 1u);
  EXPECT_NE(Log().find(LogLineBytes("обновление не начато: предыдущее ещё идёт")), std::string::npos);
  EXPECT_EQ(ReadFile(game_ / "data" / "a.pck"), std::string(100'000, 'a'));
  EXPECT_EQ(ReadFile(VersionFile()), "4 0\n");
}

// The one big file takes seconds at the service's pace, so the pause lands
// while it is in flight, and the bar moves with its bytes before it is in.
// Stops, closes and kills are rows of the install fault matrix.
TEST_F(UpdateEndToEnd, APauseHoldsTheDownloadsAndTheResumeContinuesThePartFileAndTheBar) {
  const std::string big(3'000'000, 'b');
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ v2"}, {"data/big.bin", big}, {"readme.txt", "new"}}, 9));
  SetLocalBuild("8 0\n");
  WriteFile(game_ / "data" / "big.bin", "old");
  WriteFile(game_ / "readme.txt", "old");
  ASSERT_NO_FATAL_FAILURE(StartService({"--throttle", "1000000"}));
  const auto lines = RunScript(ScriptLine("client.update") + ":sleep 1200\n" + ScriptLine("client.pause") +
                               ":sleep 800\n" + ScriptLine("client.resume") + ":wait\n");
  EXPECT_EQ(Only(lines, {R"({"updateRun")"}),
            (std::vector<std::string>{RunState("идёт"), RunState("пауза"), RunState("идёт"), RunState("")}));
  const auto paused = Only(lines, {R"({"progress":{"status":"Обновление на паузе")"});
  ASSERT_EQ(paused.size(), 1u);
  EXPECT_NE(paused[0].find(R"("ready":false)"), std::string::npos);
  // The bar never goes back, across the pause either, and while the big
  // file alone moves it (the small one's 3 bytes make no percent; once the
  // big one is in it stands at 99) it shows several steps before the pause
  // and after it.
  const std::vector<int> percents = DownloadPercents(lines);
  const std::string shown = ::testing::PrintToString(percents);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end())) << shown;
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.back(), 100) << shown;
  const auto pauseLine = std::find(lines.begin(), lines.end(), paused[0]);
  const std::vector<int> before = DownloadPercents({lines.begin(), pauseLine});
  const std::vector<int> after = DownloadPercents({pauseLine + 1, lines.end()});
  const auto inFlight = [](int p) { return p > 0 && p < 99; };
  EXPECT_TRUE(inFlight(DownloadPercents(paused).at(0))) << shown;
  EXPECT_GE(std::count_if(before.begin(), before.end(), inFlight), 1) << shown;
  EXPECT_GE(std::count_if(after.begin(), after.end(), inFlight), 2) << shown;
  EXPECT_EQ(lines.back(), Verify({kListOk, Row("ok", "Требуют обновления: 2 файлов", "Готово"),
                                  Row("ok", "Все файлы обновлены", "Готово")}));
  EXPECT_EQ(ReadFile(game_ / "data" / "big.bin"), big);
  EXPECT_EQ(ReadFile(game_ / "readme.txt"), "new");
  EXPECT_EQ(ReadFile(VersionFile()), "9 0\n");
  // The big file came in two requests, the second from where the ".part"
  // file ended and together exactly the file.
  std::vector<test::AccessEntry> got;
  for (const test::AccessEntry& e : FileRequests())
    if (e.target == test::FileTarget("data\\big.bin")) got.push_back(e);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].range, "-");
  EXPECT_EQ(got[1].status, 206);
  ASSERT_TRUE(got[1].range.starts_with("bytes="));
  const uint64_t resumedAt = std::stoull(got[1].range.substr(6));
  EXPECT_EQ(resumedAt + got[1].bytes, big.size());
  // No byte twice: the pause met a quiet moment, and closing the
  // connection told the service at once. Wine's WinHTTP keeps a closed
  // request's connection open until its read under way returns, so there
  // the service's next write (it writes a twentieth of its rate at a time)
  // still goes out.
#ifdef _WIN32
  EXPECT_LE(resumedAt, got[0].bytes);
  EXPECT_LE(got[0].bytes - resumedAt, 1'000'000u / 20);
#else
  EXPECT_EQ(resumedAt, got[0].bytes);
#endif
}

TEST_F(UpdateEndToEnd, ListsNoOneMayActOnAreRefusedWithTheClientUntouched) {
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ"}, {"data/a.pck", "aaaa"}}, 5));
  SetLocalBuild("4 0\n");
  // Both differ from the list, so an update that went ahead would write
  // them; the second is a listed file of its own below.
  WriteFile(game_ / "data" / "a.pck", "old");
  WriteFile(game_ / "data" / "a.pck.part", "held");
  std::string text;
  ASSERT_TRUE(VerifyListSignature(ReadFile(site_ / "TRN" / "element" / "files.md5"), text));
  const std::string privatePem = ReadFile(test::DemoPrivateKey());
  const auto line = [](const std::string& size, const std::string& path) {
    return "0cc175b9c0f1b6a831c399e269772661 " + size + " " + test::EncodeBase64(path) + "\n";
  };
  const std::string refused = " Обновление отменено, ни один файл не тронут.";
  struct Case {
    std::string added;
    std::string label;
  };
  const Case cases[] = {
      {line("4", "data/a.pck.part"),
       "Список файлов на сервере называет «data\\a.pck.part» — под этим именем докачивается «data\\a.pck», и один "
       "файл испортил бы другой." + refused},
      {line("9223372036854775808", "b") + line("9223372036854775808", "c"),
       "Список файлов на сервере повреждён: размер файла «b» записан не числом или больше, чем вмещает любой диск." +
           refused},
      {line("1125899906842624", "b") + line("1", "c"),
       "Список файлов на сервере повреждён: файлы в нём в сумме больше, чем вмещает любой диск." + refused},
      {"# " + std::string(4u << 20, '-') + "\n",
       "Список файлов на сервере больше 4 МБ — он слишком велик для этого лаунчера." + refused},
      {line("4", "data/a.pck"),
       "Список файлов на сервере называет «data\\a.pck» дважды, и неясно, какой из двух ставить." + refused},
      // Windows takes both spellings for one file, so every platform does.
      {line("4", "DATA/a.PCK"),
       "Список файлов на сервере называет один файл дважды: «data\\a.pck» и «DATA\\a.PCK» — для Windows это одно "
       "имя, и неясно, какой из двух ставить." + refused},
  };
  ASSERT_NO_FATAL_FAILURE(StartService());
  const auto expectRefused = [&](const std::string& label) {
    EXPECT_EQ(Run("client.update"),
              (std::vector<std::string>{Verify({kFetching}), Verify({Row("bad", label, "Ошибка")})}));
    EXPECT_EQ(ReadFile(game_ / "data" / "a.pck"), "old");
    EXPECT_EQ(ReadFile(game_ / "data" / "a.pck.part"), "held");
    EXPECT_EQ(ReadFile(VersionFile()), "4 0\n");
  };
  for (const Case& c : cases) {
    WriteFile(site_ / "TRN" / "element" / "files.md5", test::SignedBody(text + c.added, privatePem));
    expectRefused(c.label);
  }
  // The update's own words for a list no key of this launcher signed, and
  // for no list at all.
  WriteFile(site_ / "TRN" / "element" / "files.md5", test::SignedBody(text, test::MakeTestKey().privatePem));
  expectRefused("Подпись списка неверна — обновление отменено");
  fs::remove(site_ / "TRN" / "element" / "files.md5");
  expectRefused("Сервер обновлений не отвечает");
  EXPECT_EQ(service_.BytesSent("/api/file"), 0u);
}

TEST_F(UpdateEndToEnd, TheInstallRefusesAFileListedTwiceInOtherLettersBeforeWritingAnything) {
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ"}, {"data/a.pck", "aaaa"}}, 5));
  fs::remove(launcher_ / "data" / "install.cfg");
  std::string text;
  ASSERT_TRUE(VerifyListSignature(ReadFile(site_ / "TRN" / "element" / "files.md5"), text));
  WriteFile(site_ / "TRN" / "element" / "files.md5",
            test::SignedBody(text + "0cc175b9c0f1b6a831c399e269772661 4 " + test::EncodeBase64("Data/A.PCK") + "\n",
                             ReadFile(test::DemoPrivateKey())));
  ASSERT_NO_FATAL_FAILURE(StartService());
  const fs::path games = root_.path() / "Другие игры";
  const auto lines = RunScript(":pick " + test::PathUtf8(games) + "\n" + ScriptLine("install.folder") + ":wait\n");
  const std::string why = JsonEscape(
      "Список файлов на сервере называет один файл дважды: «data\\a.pck» и «Data\\A.PCK» — для Windows это одно "
      "имя, и неясно, какой из двух ставить. Установка остановлена, ничего не записано. Это недосмотр на стороне "
      "сервера — сообщите в поддержку.");
  EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return StartsWith(l, R"({"install")") && l.find(why) != l.npos; }),
            lines.end());
  EXPECT_FALSE(fs::exists(games));
  EXPECT_FALSE(fs::exists(launcher_ / "data" / "install.cfg"));
  EXPECT_EQ(service_.BytesSent("/api/file"), 0u);
}

TEST_F(UpdateEndToEnd, AnOlderSignedListIsARollbackThatTouchesNothingUntilRepublishedAsANewerBuild) {
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ v5"}, {"data/a.pck", "build 5"}}, 5));
  SetLocalBuild("4 0\n");
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_EQ(Run("client.update").back(), Verify({kListOk, Row("ok", "Все файлы на месте", "Готово"),
                                                 Row("ok", "Клиент приведён к версии сервера", "Готово")}));
  ASSERT_EQ(ReadFile(VersionFile()), "5 0\n");

  // Whoever serves the files brings back build 3, validly signed and with
  // a version document to match. The publisher itself refuses to sign it
  // without being told.
  WriteFile(site_ / "client" / "ElementClient.exe", "MZ v3");
  WriteFile(site_ / "client" / "data" / "a.pck", "build 3");
  WriteFile(site_ / "client" / "data" / "b.pck", "only in 3");
  ASSERT_FALSE(test::PublishSite(site_, 3));
  ASSERT_TRUE(test::PublishSite(site_, 3, {"--allow-older"}));
  const std::string older = "Клиент на сервере старше установленного: на сервере сборка 3, а у вас уже стояла сборка 5.";
  EXPECT_EQ(Run("client.update"),
            (std::vector<std::string>{
                Verify({kFetching}),
                Verify({Row("bad", older + " Обновление отменено, ни один файл не тронут.", "Ошибка")})}));
  EXPECT_EQ(Run("client.verify"), (std::vector<std::string>{Verify({kFetching}),
                                                            Verify({Row("bad", older + " Список отвергнут.", "Ошибка")})}));
  EXPECT_EQ(ReadFile(game_ / "ElementClient.exe"), "MZ v5");
  EXPECT_EQ(ReadFile(game_ / "data" / "a.pck"), "build 5");
  EXPECT_FALSE(fs::exists(game_ / "data" / "b.pck"));
  EXPECT_EQ(ReadFile(VersionFile()), "5 0\n");
  EXPECT_EQ(service_.BytesSent("/api/file"), 0u);

  // Neither a lost floor file nor a version file turned back lets it through:
  // the finished install's record names the build it was updated to.
  fs::remove(launcher_ / "data" / "build.floor");
  EXPECT_NE(ReadFile(launcher_ / "data" / "install.cfg").find("\r\nversion=5\r\n"), std::string::npos);
  SetLocalBuild("1 0\n");
  EXPECT_EQ(Run("client.update").back(),
            Verify({Row("bad", older + " Обновление отменено, ни один файл не тронут.", "Ошибка")}));
  EXPECT_EQ(ReadFile(game_ / "data" / "a.pck"), "build 5");

  // The operator's way back: the old content as a new, higher build.
  ASSERT_TRUE(test::PublishSite(site_, 6));
  EXPECT_EQ(Run("client.update").back(), Verify({kListOk, Row("ok", "Требуют обновления: 3 файлов", "Готово"),
                                                 Row("ok", "Все файлы обновлены", "Готово")}));
  EXPECT_EQ(ReadFile(game_ / "data" / "a.pck"), "build 3");
  EXPECT_EQ(ReadFile(VersionFile()), "6 0\n");
  EXPECT_EQ(ReadFile(launcher_ / "data" / "build.floor"), "6\n");
}

TEST_F(UpdateEndToEnd, TheStampAndTheCheckAfterItAreTheSignedBuildNotTheVersionDocuments) {
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ"}, {"data/a.pck", "aaaa"}}, 5));
  SetLocalBuild("4 0\n");
  WriteFile(game_ / "data" / "a.pck", "old");
  // One large number in the unsigned document would otherwise freeze the
  // client for good: nothing ever looks newer than it.
  SetServerBuild("2147483647\n");
  ASSERT_NO_FATAL_FAILURE(StartService());
  const auto lines = Run("client.update");
  EXPECT_EQ(ReadFile(VersionFile()), "5 0\n");
  EXPECT_EQ(ReadFile(game_ / "data" / "a.pck"), "aaaa");
  const auto epoch = Only(lines, {R"({"epoch")"});
  ASSERT_EQ(epoch.size(), 1u);
  EXPECT_NE(epoch[0].find(R"("build":5,"remote":5)"), std::string::npos) << epoch[0];
  EXPECT_EQ(Only(lines, {R"({"update")", R"({"progress":{"status":"Клиент)"}),
            (std::vector<std::string>{NoUpdate(5, 5), Progress("Клиент актуален", 100, true),
                                      Progress("Клиент обновлён", 100, true)}));
  EXPECT_NE(Log().find(LogLineBytes("сервер называет сборку 2147483647, а подписанный список — 5: верю списку")),
            std::string::npos);
  // A verification has the signed list at hand too, and its check agrees.
  EXPECT_EQ(Only(Run("client.verify"), {R"({"update")", R"({"progress":{"status":"Клиент)"}),
            (std::vector<std::string>{NoUpdate(5, 5), Progress("Клиент актуален", 100, true)}));
}

TEST_F(UpdateEndToEnd, AListedEmptyFileTakesNoBytesOfALongAnswer) {
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ"}, {"empty.dat", ""}}, 5));
  SetLocalBuild("4 0\n");
  WriteFile(game_ / "empty.dat", "old");
  // The service's file is far longer than the list says it is, by name and
  // under its MD5 alike.
  WriteFile(site_ / "client" / "empty.dat", std::string(64u << 20, 'z'));
  fs::remove_all(site_ / "objects");
  ASSERT_NO_FATAL_FAILURE(StartService());
  const auto lines = Run("client.update");
  const std::string corrupt = DownloadResultText(DownloadResult::Corrupt);
  EXPECT_EQ(lines.back(), Verify({kListOk, Row("ok", "Требуют обновления: 1 файлов", "Готово"),
                                  Row("bad", "Обновление завершено с ошибками", "Ошибки"),
                                  Row("bad", "empty.dat — " + corrupt, "Ошибка")}));
  EXPECT_EQ(ReadFile(game_ / "empty.dat"), "old");
  EXPECT_FALSE(fs::exists(game_ / "empty.dat.part"));
  EXPECT_LT(service_.BytesSent("/api/file"), 16u << 20);
}

TEST_F(UpdateEndToEnd, AChangedPackComesAsAPatchAndADamagedOneIsHealedByItsRanges) {
  std::mt19937 gen(11);
  std::string pack(3u << 20, '\0');
  for (char& c : pack) c = static_cast<char>(gen());
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ"}, {"data/pack.pck", pack}}, 5));
  // The next build changes 100 000 bytes at an odd offset and inserts
  // 50 000 further on, which shifts everything after them.
  std::string next = pack;
  for (size_t i = 1'000'003; i < 1'100'003; ++i) next[i] = static_cast<char>(~next[i]);
  next.insert(2'000'000, std::string(50'000, 'n'));
  WriteFile(site_ / "client" / "data" / "pack.pck", next);
  ASSERT_TRUE(test::PublishSite(site_, 6));
  SetLocalBuild("5 0\n");
  ASSERT_NO_FATAL_FAILURE(StartService());

  std::vector<std::string> lines = Run("client.update");
  EXPECT_TRUE(ReadFile(game_ / "data" / "pack.pck") == next);
  EXPECT_EQ(ReadFile(VersionFile()).substr(0, 2), "6 ");
  uint64_t fileBytes = 0;
  size_t indexes = 0;
  for (const test::AccessEntry& e : service_.AccessLog()) {
    if (StartsWith(e.target, "/api/blocks?")) ++indexes;
    if (!StartsWith(e.target, "/api/file?")) continue;
    fileBytes += e.bytes;
    EXPECT_NE(e.range, "-") << "a whole file was fetched";
  }
  EXPECT_EQ(indexes, 1u);
  EXPECT_LT(fileBytes, 100'000u + 50'000u + 4 * 16384u);
  // The page is told what the patch saved.
  ASSERT_FALSE(lines.empty());
  const std::string told = lines.back();
  EXPECT_NE(told.find("Скачано "), std::string::npos) << told;
  EXPECT_NE(told.find(" вместо 3,05 МБ"), std::string::npos) << told;

  // A damaged copy is healed by the blocks it lacks, and then nothing differs.
  std::string damaged = next;
  for (size_t i = 3'000'000; i < 3'000'100; ++i) damaged[i] = 'x';
  WriteFile(game_ / "data" / "pack.pck", damaged);
  const size_t before = service_.AccessLog().size();
  Run("client.update");
  EXPECT_TRUE(ReadFile(game_ / "data" / "pack.pck") == next);
  const std::vector<test::AccessEntry> log = service_.AccessLog();
  uint64_t healed = 0;
  for (size_t i = before; i < log.size(); ++i)
    if (StartsWith(log[i].target, "/api/file?")) healed += log[i].bytes;
  EXPECT_LE(healed, 2 * 16384u);
  lines = Run("client.update");
  EXPECT_NE(lines.back().find("Все файлы на месте"), std::string::npos) << lines.back();
}

TEST_F(UpdateEndToEnd, TheUpdateCheckTable) {
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ"}}, 3));
  ASSERT_NO_FATAL_FAILURE(StartService());
  const std::vector<std::string_view> kinds = {R"({"update")", R"({"progress")"};
  struct Case {
    const char* name;
    const char* local;  // nullptr: no version file
    const char* remote;
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      {"maintenance", "3 0\n", "0", {NoUpdate(3, 0), Progress("Идёт обслуживание сервера", 0, false)}},
      {"no digits is maintenance too", "3 0\n", "soon", {NoUpdate(3, 0), Progress("Идёт обслуживание сервера", 0, false)}},
      {"no version file", nullptr, "3", {NoUpdate(-1, 3), Progress("Не найден файл версии клиента", 0, true)}},
      {"same", "3 0\n", "3\n", {NoUpdate(3, 3), Progress("Клиент актуален", 100, true)}},
      {"older", "3 0\n", "2", {NoUpdate(3, 2), Progress("Версия сервера ниже версии клиента", 100, true)}},
      {"newer", "5 0\n", "7", {Progress("Доступно обновление: 5 → 7", 0, false), R"({"update":{"available":true}})"}},
  };
  for (const Case& c : cases) {
    fs::remove(VersionFile());
    if (c.local) SetLocalBuild(c.local);
    SetServerBuild(c.remote);
    EXPECT_EQ(Only(Run("ui.ready"), kinds), c.events) << c.name;
  }
  service_.Stop();
  EXPECT_EQ(Only(Run("ui.ready"), kinds),
            std::vector<std::string>{Progress("Сервер обновлений недоступен", 0, true)});
}

TEST(FileRequestPath, IsUrlSafeBase64WithPadding) {
  EXPECT_EQ(FileRequestPath(""), "/api/file?n=");
  EXPECT_EQ(FileRequestPath("a"), "/api/file?n=YQ==");
  EXPECT_EQ(FileRequestPath("ab"), "/api/file?n=YWI=");
  EXPECT_EQ(FileRequestPath("abc"), "/api/file?n=YWJj");
  // Base64 "ZGF0YVx+0Ys/LmJpbg==": both substitutions, padding kept, and
  // the list's backslash encoded as it stands.
  EXPECT_EQ(FileRequestPath("data\\~ы?.bin"), "/api/file?n=ZGF0YVx-0Ys_LmJpbg==");
  // The listed MD5 names the build's own bytes, lower-cased; anything that
  // is not exactly 32 hex digits is left out rather than sent on.
  EXPECT_EQ(FileRequestPath("a", "0123456789ABCDEFabcdef0123456789"),
            "/api/file?n=YQ==&h=0123456789abcdefabcdef0123456789");
  for (const char* bad : {"", "0123456789abcdefabcdef012345678", "0123456789abcdefabcdef01234567890",
                          "0123456789abcdefabcdef012345678g", "../../../../etc/passwd&x=0123456789"}) {
    EXPECT_EQ(FileRequestPath("a", bad), "/api/file?n=YQ==") << bad;
  }
}

}  // namespace
}  // namespace tarn

// Verification, the epoch Event and "open.clientdir" end to end: the
// headless launcher in a folder of its own against the reference service
// with lists signed by the publisher and the demo key the launcher is built
// with.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bridge/text.h"
#include "client/epoch.h"
#include "client/file_list.h"
#include "list_signing.h"
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

using test::Progress;
using test::Row;
using test::Verify;

const std::string kFetching = Row("run", "Получаю список файлов", "Жду");
const std::string kListOk = Row("ok", "Список получен, подпись верна", "Готово");

bool StartsWith(const std::string& s, std::string_view prefix) { return s.rfind(prefix, 0) == 0; }

class VerifyEndToEnd : public test::ServiceLauncherTest {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(MakeSite({"--size-mib", "1", "--files", "8"})); }

  // Publishes files (list path with '/', content) as the site's client and
  // installs an identical copy as the launcher's client.
  void Publish(const std::vector<std::pair<std::string, std::string>>& files, int build = 3) {
    for (const auto& [path, bytes] : files) WriteFile(site_ / "client" / test::Utf8Path(path), bytes);
    ASSERT_TRUE(test::PublishSite(site_, build));
    fs::remove_all(game_);
    fs::create_directories(game_.parent_path());
    fs::copy(site_ / "client", game_, fs::copy_options::recursive);
  }
  // The launcher beside nothing, told by its install record where the game is.
  fs::path InstallLauncher(const fs::path& folder, bool withRecord = true) {
    const fs::path exe = PlaceLauncher(folder);
    if (withRecord) WriteFile(folder / "data" / "install.cfg", "path=" + test::PathUtf8(game_) + "\r\nstate=готово\r\n");
    return exe;
  }
  std::vector<std::string> Run(const fs::path& exe, const std::string& command) {
    const auto run = test::RunProgram(exe, ScriptLine(command) + ":wait\n");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return run.lines();
  }
  std::vector<std::string> RunVerify() { return Run(InstallLauncher(launcher_), "client.verify"); }
  // The list entries as the launcher reads them, in list order.
  std::vector<FileEntry> Entries() {
    std::string text;
    EXPECT_TRUE(VerifyListSignature(ReadFile(site_ / "TRN" / "element" / "files.md5"), text));
    return ParseFileList(text).entries;
  }

  fs::path game_ = root_.path() / test::Utf8Path("Игры") / test::Utf8Path("ТАРН");
};

TEST_F(VerifyEndToEnd, ACleanClientShowsEveryPercentThenRunsTheUpdateCheck) {
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ stand-in"},
                                   {"data/models/Игрок.pck", std::string(300000, 'p')},
                                   {"element/a b.txt", "text"},
                                   {"empty.dat", ""}}));
  ASSERT_NO_FATAL_FAILURE(StartService());
  const auto lines = RunVerify();
  const size_t n = Entries().size();
  ASSERT_EQ(n, 4u);

  std::vector<std::string> expected = {Verify({kFetching}), Verify({kListOk, Row("run", "Сверяю файлы", "0%")})};
  for (size_t done = 1; done <= n; ++done) {
    const int percent = static_cast<int>(done * 100 / n);
    expected.push_back(Verify({kListOk, Row("run", "Сверяю файлы — " + std::to_string(done) + " из " +
                                                       std::to_string(n), std::to_string(percent) + "%")}));
    expected.push_back(Progress("Проверка клиента", percent, false));
  }
  ASSERT_GE(lines.size(), expected.size() + 1);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + static_cast<long>(expected.size())), expected);
  // Whatever the update check posts comes before the final rows.
  for (size_t i = expected.size(); i + 1 < lines.size(); ++i) EXPECT_FALSE(StartsWith(lines[i], R"({"verify")"));
  EXPECT_EQ(lines.back(), Verify({kListOk, Row("ok", "Проверено файлов: 4", "Готово"),
                                  Row("ok", "Расхождений нет — клиент целый", "Готово")}));
  // The list was fetched once; no file was downloaded.
  EXPECT_EQ(service_.BytesSent("/api/file"), 0u);
}

TEST_F(VerifyEndToEnd, MismatchesAreListedTwelveAtMostWithAPathSafeLabel) {
#ifdef _WIN32
  GTEST_SKIP() << "the folder name with quotes that the label must survive cannot exist on Windows";
#endif
  std::vector<std::pair<std::string, std::string>> files = {{"ElementClient.exe", "MZ"}};
  for (int i = 0; i < 13; ++i) files.push_back({"data/\"q\"/file" + std::to_string(i) + ".dat", "v1 " + std::to_string(i)});
  ASSERT_NO_FATAL_FAILURE(Publish(files));
  ASSERT_NO_FATAL_FAILURE(StartService());
  std::vector<std::string> bad;
  for (const FileEntry& e : Entries())
    if (e.path != "ElementClient.exe") bad.push_back(e.path);
  ASSERT_EQ(bad.size(), 13u);
  // Changed, emptied, missing, and a folder in place of a file.
  for (size_t i = 0; i < bad.size(); ++i) {
    fs::path p = game_;
    std::string native = bad[i];
    std::replace(native.begin(), native.end(), '\\', '/');
    p /= native;
    if (i % 4 == 0) WriteFile(p, "changed");
    if (i % 4 == 1) WriteFile(p, "");
    if (i % 4 == 2) fs::remove(p);
    if (i % 4 == 3) {
      fs::remove(p);
      fs::create_directory(p);
    }
  }

  auto finalRows = [&](size_t count) {
    std::vector<std::string> rows = {kListOk, Row("ok", "Проверено файлов: 14", "Готово")};
    for (size_t i = 0; i < count && i < 12; ++i)
      rows.push_back(Row("bad", bad[i] + " — не совпала контрольная сумма", "Перекачаю"));
    if (count > 12) rows.push_back(Row("bad", "…и ещё " + std::to_string(count - 12) + " файлов", "Перекачаю"));
    return Verify(rows);
  };
  auto lines = RunVerify();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], Progress("Найдены расхождения", 100, true));
  EXPECT_EQ(lines.back(), finalRows(13));
  EXPECT_NE(lines.back().find(R"(data\\\"q\"\\file)"), std::string::npos) << lines.back();

  // Twelve mismatches: twelve rows and no summary.
  fs::remove_all(game_ / bad[12].substr(0, bad[12].find('\\')));
  fs::copy(site_ / "client" / "data", game_ / "data", fs::copy_options::recursive);
  for (size_t i = 0; i < 12; ++i) {
    std::string native = bad[i];
    std::replace(native.begin(), native.end(), '\\', '/');
    fs::remove_all(game_ / native);
    WriteFile(game_ / native, "changed");
  }
  lines = RunVerify();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), finalRows(12));
}

TEST_F(VerifyEndToEnd, LongListsPostAtMostOneUpdatePerPercent) {
  std::vector<std::pair<std::string, std::string>> files = {{"ElementClient.exe", "MZ"}};
  for (int i = 0; i < 250; ++i) files.push_back({"many/f" + std::to_string(i), std::to_string(i)});
  ASSERT_NO_FATAL_FAILURE(Publish(files));
  ASSERT_NO_FATAL_FAILURE(StartService());
  const auto lines = RunVerify();
  std::vector<int> percents;
  size_t verifies = 0;
  for (const std::string& l : lines) {
    if (StartsWith(l, R"({"progress":{"status":"Проверка клиента")"))
      percents.push_back(std::stoi(l.substr(l.find("\"percent\":") + 10)));
    if (StartsWith(l, R"({"verify")")) ++verifies;
  }
  // 251 files: 0 % after the first file, then every whole percent to 100.
  ASSERT_EQ(percents.size(), 101u);
  for (size_t i = 0; i < percents.size(); ++i) EXPECT_EQ(percents[i], static_cast<int>(i));
  EXPECT_EQ(verifies, 2u + 101u + 1u);
}

TEST_F(VerifyEndToEnd, FailuresBeforeHashingReplaceOrFollowTheFirstRow) {
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ"}, {"a.txt", "a"}}));
  const fs::path exe = InstallLauncher(launcher_);

  // No service at all, then a service without a list (404).
  const std::vector<std::string> down = {Verify({kFetching}),
                                         Verify({Row("bad", "Патч-сервер не отвечает", "Ошибка")})};
  EXPECT_EQ(Run(exe, "client.verify"), down);
  const std::string list = ReadFile(site_ / "TRN" / "element" / "files.md5");
  fs::remove(site_ / "TRN" / "element" / "files.md5");
  ASSERT_NO_FATAL_FAILURE(StartService());
  EXPECT_EQ(Run(exe, "client.verify"), down);

  // A list signed with another key, and one tampered with after signing.
  const std::vector<std::string> refused = {
      Verify({kFetching}), Verify({Row("bad", "Подпись списка неверна — список отвергнут", "Ошибка")})};
  const std::string text = list.substr(0, list.find(kSignatureMarker));
  WriteFile(site_ / "TRN" / "element" / "files.md5", test::SignedBody(text, test::MakeTestKey().privatePem));
  EXPECT_EQ(Run(exe, "client.verify"), refused);
  std::string tampered = list;
  tampered[tampered.find(" ") + 1] ^= 1;
  WriteFile(site_ / "TRN" / "element" / "files.md5", tampered);
  EXPECT_EQ(Run(exe, "client.verify"), refused);

  // The same list served with CR LF line ends still verifies.
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  WriteFile(site_ / "TRN" / "element" / "files.md5", crlf + list.substr(text.size()));
  EXPECT_EQ(Run(exe, "client.verify").back(), Verify({kListOk, Row("ok", "Проверено файлов: 2", "Готово"),
                                                      Row("ok", "Расхождений нет — клиент целый", "Готово")}));

  // A list naming one file twice, in letters Windows takes for the same.
  WriteFile(site_ / "TRN" / "element" / "files.md5",
            test::SignedBody(text + "0cc175b9c0f1b6a831c399e269772661 1 " + test::EncodeBase64("A.TXT") + "\n",
                             ReadFile(test::DemoPrivateKey())));
  EXPECT_EQ(Run(exe, "client.verify"),
            (std::vector<std::string>{
                Verify({kFetching}),
                Verify({Row("bad",
                            "Список файлов на сервере называет один файл дважды: «a.txt» и «A.TXT» — для Windows это "
                            "одно имя, и неясно, какой из двух ставить. Список отвергнут.",
                            "Ошибка")})}));

  // A good list but no client: the list is checked before the folder.
  WriteFile(site_ / "TRN" / "element" / "files.md5", list);
  fs::remove_all(game_);
  EXPECT_EQ(Run(exe, "client.verify"),
            (std::vector<std::string>{Verify({kFetching}),
                                      Verify({kListOk, Row("bad", "Не найден каталог клиента", "Ошибка")})}));
}

TEST_F(VerifyEndToEnd, AnEmptyListHasNothingToCheck) {
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ"}}));
  // Only comments, and an entry that tries to leave the client folder,
  // signed with the demo key the launcher trusts.
  const std::string text = "# 3\n# без паков\nd41d8cd98f00b204e9800998ecf8427e 0 " + test::EncodeBase64("../evil") + "\n";
  WriteFile(site_ / "TRN" / "element" / "files.md5", test::SignedBody(text, ReadFile(test::DemoPrivateKey())));
  ASSERT_NO_FATAL_FAILURE(StartService());
  EXPECT_EQ(RunVerify(), (std::vector<std::string>{
                             Verify({kFetching}),
                             Verify({kListOk, Row("ok", "Список пуст — проверять нечего", "Готово")})}));
}

TEST_F(VerifyEndToEnd, EpochNamesTheInstalledAndTheServedBuild) {
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ"}}, 3));
  WriteFile(game_ / "config" / "element" / "version.sw", "2 0\n");
  const fs::path exe = InstallLauncher(launcher_);
  auto epoch = [&] {
    for (const std::string& l : Run(exe, "ui.ready"))
      if (StartsWith(l, R"({"epoch")")) return l;
    return std::string();
  };
  EXPECT_EQ(epoch(),
            R"({"epoch":{"index":1,"label":"1.3.8 · Зенит","next":"1.4.0","days":35,"cycle":61,"build":2,"remote":-1}})");
  ASSERT_NO_FATAL_FAILURE(StartService());
  EXPECT_EQ(epoch(),
            R"({"epoch":{"index":1,"label":"1.3.8 · Зенит","next":"1.4.0","days":35,"cycle":61,"build":2,"remote":3}})");
}

TEST_F(VerifyEndToEnd, EpochIsTheOperatorsSignedTableOrElseTheBuiltInOne) {
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ"}}, 4));
  WriteFile(game_ / "config" / "element" / "version.sw", "4 0\n");
  const fs::path exe = InstallLauncher(launcher_);
  ASSERT_NO_FATAL_FAILURE(StartService());
  const fs::path table = site_ / "TRN" / "element" / "epochs";
  const std::string key = ReadFile(test::DemoPrivateKey());
  auto epoch = [&] {
    for (const std::string& l : Run(exe, "ui.ready"))
      if (StartsWith(l, R"({"epoch")")) return l;
    return std::string();
  };
  auto logged = [&](std::u16string_view text) {
    return test::LogUnits(ReadFile(launcher_ / "launcher.log")).find(text) != std::u16string::npos;
  };
  const std::string builtIn =
      R"({"epoch":{"index":0,"label":"сборка 4","next":"","days":35,"cycle":61,"build":4,"remote":4}})";

  // No table on the site: the built-in one, quietly.
  EXPECT_EQ(epoch(), builtIn);
  EXPECT_FALSE(logged(u"эпохи"));

  // The operator's table names build 4; its markup stays text for the page.
  const std::string text = "# эпохи\n4 2.0 7 40 <i>Рассвет</i>\n1 1.3.6 35 61 Заря\n";
  WriteFile(table, test::SignedBody(text, key));
  EXPECT_EQ(epoch(),
            R"({"epoch":{"index":1,"label":"2.0 · <i>Рассвет</i>","next":"","days":7,"cycle":40,"build":4,"remote":4}})");

  // A name changed after signing, a table never signed, one signed by
  // another key: the built-in table, and the log says why.
  std::string forged = ReadFile(table);
  forged.replace(forged.find("Рассвет"), std::string_view("Рассвет").size(), "Закат");
  for (const std::string& served :
       {forged, text, test::SignedBody(text, test::MakeTestKey().privatePem)}) {
    WriteFile(table, served);
    EXPECT_EQ(epoch(), builtIn);
  }
  EXPECT_TRUE(logged(u"эпохи: подпись таблицы на сервере не сходится, показываю встроенные"));

  // A signed table past the ceiling is not read at all.
  WriteFile(table, test::SignedBody(text + "#" + std::string(kEpochTableCapBytes, 'x') + "\n", key));
  EXPECT_EQ(epoch(), builtIn);
  EXPECT_TRUE(logged(u"эпохи: таблица на сервере больше 65536 байт, показываю встроенные"));
}

TEST_F(VerifyEndToEnd, OpenClientDirFindsAClientAboveTheLauncher) {
  ASSERT_NO_FATAL_FAILURE(Publish({{"ElementClient.exe", "MZ"}}));
  // No install record: the launcher sits in a folder inside the client.
  const fs::path exe = InstallLauncher(game_ / "launcher", false);
  const auto lines = Run(exe, "open.clientdir");
  ASSERT_EQ(lines.size(), 1u);
#ifdef _WIN32
  // The shell takes the folder itself.
  EXPECT_EQ(lines[0], R"({"host":{"open":")" + JsonEscape(test::PathUtf8(game_)) + R"(","params":""}})");
#else
  EXPECT_TRUE(StartsWith(lines[0], R"({"host":{"open":"file://)")) << lines[0];
  EXPECT_NE(lines[0].find("%D0%A2%D0%90%D0%A0%D0%9D\""), std::string::npos) << lines[0];  // ".../ТАРН"
#endif

  // Nothing found: nothing opened, and the log says why.
  fs::remove(game_ / "ElementClient.exe");
  EXPECT_TRUE(Run(exe, "open.clientdir").empty());
  const std::string log = ReadFile(game_ / "launcher" / "launcher.log");
  const std::u16string wanted = u"клиент не найден";
  std::string wantedBytes;
  for (char16_t u : wanted) {
    wantedBytes += static_cast<char>(u & 0xFF);
    wantedBytes += static_cast<char>(u >> 8);
  }
  EXPECT_NE(log.find(wantedBytes), std::string::npos);
}

}  // namespace
}  // namespace tarn

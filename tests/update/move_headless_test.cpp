// Moving the installed client end to end: the headless launcher against the
// reference service, the client renamed on its own disk and copied to
// another one (/dev/shm, a file system of its own here), refused targets
// that must leave everything as it was, and a stop in the middle of a copy
// (in process, so the stop comes at a known moment).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bridge/host_slots.h"
#include "bridge/text.h"
#include "client/install_folder.h"
#include "support/launcher.h"
#include "support/run_program.h"
#include "support/service_launcher.h"
#include "support/temp_dir.h"
#include "launch/game.h"
#include "update/move.h"
#include "update/update.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::ScriptLine;
using test::WriteFile;
using V = std::vector<std::string>;
using Files = std::map<std::string, std::string>;

// Writes its working folder beside itself once started, as the game would
// open its files there.
constexpr char kStandIn[] = "#!/bin/sh\ncd \"$(dirname \"$0\")\" && pwd -P > started.tmp && mv started.tmp started\n";

bool Has(const V& lines, const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); }

// Every regular file below root with its bytes.
Files Contents(const fs::path& root) {
  Files files;
  if (!fs::exists(root)) return files;
  for (const auto& item : fs::recursive_directory_iterator(root))
    if (item.is_regular_file()) files[fs::relative(item.path(), root).string()] = ReadFile(item.path());
  return files;
}

// A folder of its own on /dev/shm, gone with the test.
struct ShmDir {
  fs::path path = fs::path("/dev/shm") / ("tarn-move-" + std::to_string(std::random_device{}()));
  ShmDir() { fs::create_directories(path); }
  ~ShmDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

bool OtherDisk(const fs::path& a, const fs::path& b) {
  struct stat sa{}, sb{};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev != sb.st_dev;
}

class MoveEndToEnd : public test::ServiceLauncherTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(MakeSite({"--size-mib", "1", "--files", "8"}));
    std::mt19937 gen(7);
    std::string pack(3 * 1024 * 1024 + 17, '\0');
    for (char& c : pack) c = static_cast<char>(gen());
    listed_ = {{"ElementClient.exe", kStandIn}, {"data/models/Игрок.pck", pack}, {"element/a b.txt", "text"},
               {"empty.dat", ""}};
    for (const auto& [path, bytes] : listed_) WriteFile(site_ / "client" / test::Utf8Path(path), bytes);
    ASSERT_TRUE(test::PublishSite(site_, 3));
    fs::create_directories(game_.parent_path());
    fs::copy(site_ / "client", game_, fs::copy_options::recursive);
    fs::permissions(game_ / "ElementClient.exe", fs::perms::owner_all);
    // Stamped by the launcher, named by no list; and the player's own.
    WriteFile(game_ / "config" / "element" / "version.sw", "3\r\n");
    WriteFile(game_ / "Скриншоты" / "мой.png", "screenshot");
    PlaceLauncher();
    WriteFile(Config(), "path=" + test::PathUtf8(game_) + "\r\nstate=готово\r\n");
    ASSERT_NO_FATAL_FAILURE(StartService());
  }

  fs::path Config() const { return launcher_ / "data" / "install.cfg"; }
  std::string RecordFor(const fs::path& folder) const { return "path=" + test::PathUtf8(folder) + "\r\n"; }
  V Move(const fs::path& pick, const std::string& tail = "") {
    return RunScript(":pick " + test::PathUtf8(pick) + "\n" + ScriptLine("client.move") + ":wait\n" + tail);
  }
  // The bar's last word and whether the record and the client stayed as
  // they were.
  void ExpectRefused(const V& lines, const std::string& text, const Files& before, const std::string& record) {
    bool shown = false;
    for (const std::string& line : lines)
      shown = shown || (line.starts_with(R"({"progress")") && JsonString(line, "status") == text);
    EXPECT_TRUE(shown) << text;
    EXPECT_FALSE(Has(lines, R"({"move":{"running":true}})")) << text;
    EXPECT_EQ(ReadFile(Config()), record) << text;
    EXPECT_EQ(Contents(game_), before) << text;
  }

  Files listed_;
  fs::path game_ = root_.path() / "Игры" / "ТАРН";
};

TEST_F(MoveEndToEnd, OnOneDiskTheFolderIsRenamedWholeAndTheGameStartsThere) {
  const Files before = Contents(game_);
  const fs::path to = root_.path() / "Новое место" / "ТАРН";
  const V lines = Move(to.parent_path(), ScriptLine("game.launch\n{\"login\":\"demo\"}") + ":wait\n");
  // The game's start found the client in its new place.
  for (int i = 0; i < 200 && !fs::exists(to / "started"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ReadFile(to / "started"), fs::canonical(to).string() + "\n");
  // One rename: the player's own files go along, nothing is left behind.
  EXPECT_FALSE(fs::exists(game_));
  Files after = Contents(to);
  after.erase("started");
  EXPECT_EQ(after, before);
  EXPECT_EQ(ReadFile(Config()), RecordFor(to) + "state=готово\r\nmoving=\r\n");
  const V expected = {R"({"move":{"running":true}})", test::Progress("Игра перенесена", 100, true),
                      R"({"move":{"running":false}})"};
  V seen;
  for (const std::string& line : lines)
    if (std::find(expected.begin(), expected.end(), line) != expected.end()) seen.push_back(line);
  EXPECT_EQ(seen, expected);
  bool envNamesIt = false;
  for (const std::string& line : lines) envNamesIt = envNamesIt || (line.starts_with(R"({"env")") && JsonString(line, "clientDir") == test::PathUtf8(to));
  EXPECT_TRUE(envNamesIt);
}

TEST_F(MoveEndToEnd, ToAnotherDiskEveryFileIsCopiedCheckedAndOnlyTheListedOnesLeave) {
  ShmDir disk;
  if (!OtherDisk(root_.path(), disk.path)) GTEST_SKIP() << "/dev/shm is on the test folder's own file system here";
  const fs::path to = disk.path / "ТАРН";
  // A client of another build than the list's is not copied only to fail
  // the check.
  WriteFile(game_ / "config" / "element" / "version.sw", "2\r\n");
  ExpectRefused(Move(to),
                "Клиент сборки 2, а на сервере — 3: сначала обновите его («Обновить»), затем перенесите. Игра "
                "осталась на прежнем месте.",
                Contents(game_), ReadFile(Config()));
  EXPECT_FALSE(fs::exists(to));
  WriteFile(game_ / "config" / "element" / "version.sw", "3\r\n");

  const Files before = Contents(game_);
  const V lines = Move(to);
  EXPECT_EQ(ReadFile(Config()), RecordFor(to) + "state=готово\r\nmovedFrom=\r\n");
  // The listed files and the version stamp moved; the player's file stays
  // in the old folder, which is therefore kept.
  Files moved = before;
  moved.erase("Скриншоты/мой.png");
  EXPECT_EQ(Contents(to), moved);
  EXPECT_EQ(Contents(game_), (Files{{"Скриншоты/мой.png", "screenshot"}}));
  EXPECT_TRUE(fs::exists(to / "config" / "element" / "version.sw"));
  EXPECT_TRUE(Has(lines, test::Verify({test::Row("ok", "Список получен, подпись верна", "Готово"),
                                                   test::Row("ok", "Скопировано файлов: 5", "Готово"),
                                                   test::Row("ok", "Копия совпала со списком", "Готово"),
                                                   test::Row("ok", "Игра перенесена в «" + test::PathUtf8(to) + "»",
                                                             "Готово")})));
  // Verification finds the client in its new place, whole.
  const V verified = RunScript(ScriptLine("client.verify") + ":wait\n");
  ASSERT_FALSE(verified.empty());
  EXPECT_NE(verified.back().find("Расхождений нет — клиент целый"), std::string::npos) << verified.back();
}

TEST_F(MoveEndToEnd, RefusedTargetsLeaveTheClientAndTheRecordAsTheyWere) {
  const Files before = Contents(game_);
  const std::string record = ReadFile(Config());
  WriteFile(root_.path() / "Занято" / "ТАРН" / "чужой.txt", "not ours");
  // A link where the folder would go is never written through.
  fs::create_directories(root_.path() / "Ссылка");
  fs::create_directories(root_.path() / "Куда ведёт");
  fs::create_directory_symlink(root_.path() / "Куда ведёт", root_.path() / "Ссылка" / "ТАРН");
  const std::string game = test::PathUtf8(game_);
  const struct {
    fs::path pick;
    std::string text;
  } rows[] = {
      {game_ / "Моды", "Папка «" + game + "/Моды/ТАРН» лежит внутри нынешней папки игры — выберите папку вне «" + game + "»."},
      {game_, "Игра уже лежит в папке «" + game + "»."},
      {launcher_ / "data", FolderProblemText(FolderProblem::LauncherPlace)},
      {root_.path() / "a*b", FolderProblemText(FolderProblem::ForbiddenCharacter)},
      {root_.path() / "Занято",
       "В папке «" + test::PathUtf8(root_.path() / "Занято" / "ТАРН") +
           "» уже есть файлы. Выберите пустую или новую папку — чужие файлы перенос не трогает."},
      {root_.path() / "Ссылка",
       "В папке «" + test::PathUtf8(root_.path() / "Ссылка" / "ТАРН") +
           "» уже есть файлы. Выберите пустую или новую папку — чужие файлы перенос не трогает."},
  };
  for (const auto& row : rows) ExpectRefused(Move(row.pick), row.text, before, record);
  EXPECT_FALSE(fs::exists(game_ / "Моды"));
  EXPECT_FALSE(fs::exists(launcher_ / "data" / "ТАРН"));
  EXPECT_EQ(ReadFile(root_.path() / "Занято" / "ТАРН" / "чужой.txt"), "not ours");
  EXPECT_TRUE(fs::is_empty(root_.path() / "Куда ведёт"));

  // A disk too small for the copy: a 1 MiB tmpfs in a mount namespace of
  // the launcher's own.
  const fs::path small = root_.path() / "малый";
  fs::create_directories(small);
  const std::string script = "mount -t tmpfs -o size=1m tmpfs '" + small.string() + "' || exit 97\nexec '" +
                             exe_.string() + "'";
  const auto run = test::RunProgram("/usr/bin/unshare", ":pick " + small.string() + "\n" + ScriptLine("client.move") + ":wait\n",
                                    {"-m", "--propagation", "private", "sh", "-c", script});
  if (run.exitCode == 97) GTEST_SKIP() << "this machine lets the test mount no disk";
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const V lines = run.lines();
  bool refused = false;
  for (const std::string& line : lines)
    refused = refused || (line.starts_with(R"({"progress")") &&
                          JsonString(line, "status").starts_with("На диске новой папки не хватает места. Нужно "));
  EXPECT_TRUE(refused) << run.out;
  EXPECT_EQ(ReadFile(Config()), record);
  EXPECT_EQ(Contents(game_), before);
}

// A note of an old copy, as a move killed after its record switched
// leaves it, is acted on by the next verification: never on the client's
// own folder or one around it, never through a link, and a note naming no
// folder (or only a relative one) is just cleared.
TEST_F(MoveEndToEnd, AnOldCopyNotedInTheRecordGoesOnlyWhereItIsNoClientsAndNoLinks) {
  const Files client = Contents(game_);
  const fs::path old = root_.path() / "Старое" / "ТАРН";
  fs::create_directories(old);
  fs::copy(game_, old, fs::copy_options::recursive);
  // The list's folder "data" is a link out of the old copy here.
  const fs::path elsewhere = root_.path() / "Чужое";
  fs::create_directories(elsewhere);
  fs::rename(old / "data", elsewhere / "data");
  fs::create_directory_symlink(elsewhere / "data", old / "data");
  const Files behindLink = Contents(elsewhere);
  const auto verify = [&](const fs::path& noted) {
    WriteFile(Config(), "path=" + test::PathUtf8(game_) + "\r\nstate=готово\r\nmovedFrom=" + test::PathUtf8(noted) + "\r\n");
    const V lines = RunScript(ScriptLine("client.verify") + ":wait\n");
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("Расхождений нет — клиент целый"), std::string::npos) << lines.back();
    EXPECT_EQ(ReadFile(Config()), "path=" + test::PathUtf8(game_) + "\r\nstate=готово\r\nmovedFrom=\r\n") << noted;
    EXPECT_EQ(Contents(game_), client) << noted;
  };
  for (const fs::path& noted : {game_, game_.parent_path(), game_ / "Скриншоты", root_.path() / "Нет такой", fs::path(".")})
    verify(noted);
  EXPECT_FALSE(fs::exists(root_.path() / "Нет такой"));
  verify(old);
  // The listed files and the stamp went, the player's file and what lies
  // behind the link stayed.
  EXPECT_EQ(Contents(old), (Files{{"Скриншоты/мой.png", "screenshot"}}));
  EXPECT_TRUE(fs::is_symlink(old / "data"));
  EXPECT_EQ(Contents(elsewhere), behindLink);
}

// While the copy runs, the game does not start and no update runs beside
// it; stopped once its first file is in, the old copy stays whole and
// recorded, and what the copy wrote is gone.
TEST_F(MoveEndToEnd, AStoppedCopyRemovesWhatItWroteAndKeepsTheOldClient) {
  ShmDir disk;
  if (!OtherDisk(root_.path(), disk.path)) GTEST_SKIP() << "/dev/shm is on the test folder's own file system here";
  const Files before = Contents(game_);
  const std::string record = ReadFile(Config());
  std::mutex lock;
  V events;
  HostSlots slots;
  slots.dataFolder = (launcher_ / "data").string();
  slots.pickFolder = [&](const FolderDialog&) -> std::optional<std::string> { return (disk.path / "ТАРН").string(); };
  bool asked = false;
  slots.post = [&](const std::string& event) {
    {
      std::lock_guard hold(lock);
      events.push_back(event);
      if (asked || event.find("Копирую файлы — 1 из") == std::string::npos) return;
      asked = true;
    }
    LaunchGame(launcher.launch, "demo", "", "");
    UpdateClient(launcher.update);
    EXPECT_FALSE(MoveClient(launcher.client, launcher.moveFlags));
    RequestMoveStop(launcher.moveFlags);
  };
  InstallHostSlots(ctx, slots, test::EndpointOf(service_));
  // On a thread of its own, as a task runs: the connection it keeps to the
  // service goes with it.
  bool moved = true;
  std::thread([&] { moved = MoveClient(launcher.client, launcher.moveFlags); }).join();
  EXPECT_FALSE(moved);
  InstallHostSlots(ctx, {});
  EXPECT_EQ(ReadFile(Config()), record);
  EXPECT_EQ(Contents(game_), before);
  EXPECT_FALSE(fs::exists(disk.path / "ТАРН"));
  const std::string stopped = "Перенос остановлен — игра осталась в «" + test::PathUtf8(game_) + "»";
  EXPECT_TRUE(Has(events, test::Progress(stopped, 0, true)));
  EXPECT_TRUE(Has(events, test::Progress("Дождитесь окончания переноса игры", 0, true)));
  EXPECT_TRUE(Has(events, test::Progress("Обновление не начато: идёт перенос игры", 0, true)));
  EXPECT_EQ(events.back(), R"({"move":{"running":false}})");
}

}  // namespace
}  // namespace tarn

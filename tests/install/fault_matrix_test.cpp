// The install fault matrix: the headless launcher cut off with SIGKILL at
// exact file calls (through the preloaded kill shim), the reference service
// misbehaving on demand, small and read-only disks, and hostile lists. Every
// row ends with the same checks: the client is the site's byte for byte (or
// the failure is the right one and nothing was touched), nothing changed
// outside the install and data folders, install.cfg and install.done parse,
// and little was sent twice.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bridge/base64.h"
#include "bridge/text.h"
#include "client/file_list.h"
#include "download/session.h"
#include "install/progress.h"
#include "support/launcher.h"
#include "support/run_program.h"
#include "support/service_launcher.h"
#include "support/temp_dir.h"
#include "tools/common/file_list.h"
#include "update/move.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::ScriptLine;
using test::WriteFile;
using V = std::vector<std::string>;

constexpr uint64_t KiB = 1024;
constexpr uint64_t kTwiceLimit = 256 * KiB;  // per interruption and file in flight
// Slow enough that the service never runs far ahead of what the launcher
// has written, fast enough that a whole install takes half a second.
constexpr const char* kThrottle = "4000000";

std::string Random(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(gen());
  return bytes;
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

V Stages(const V& lines) {
  V stages;
  for (const std::string& line : lines)
    if (StartsWith(line, R"({"install":)")) stages.push_back(JsonString(line, "stage"));
  return stages;
}

V Errors(const V& lines) {
  V errors;
  for (const std::string& line : lines)
    if (StartsWith(line, R"({"install":)") && JsonString(line, "stage") == "ошибка")
      errors.push_back(JsonString(line, "error"));
  return errors;
}

V SplitCrLf(const std::string& text, bool& wellFormed) {
  V lines;
  size_t start = 0;
  wellFormed = text.empty() || text.ends_with("\r\n");
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// Path, size and change time of everything below root.
using Snapshot = std::map<std::string, std::pair<uintmax_t, int64_t>>;
Snapshot Take(const fs::path& root) {
  Snapshot snap;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    struct stat st{};
    if (lstat(item.path().c_str(), &st) != 0) continue;
    // A folder counts by its name only: what appears in it is judged by itself.
    if (S_ISDIR(st.st_mode)) st = {};
    snap[item.path().string()] = {static_cast<uintmax_t>(st.st_size),
                                  static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
  }
  return snap;
}

class Matrix : public test::ServiceLauncherTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(MakeSite({"--size-mib", "1", "--files", "4"}));
    for (const auto& [path, bytes] : files_) WriteFile(site_ / "client" / test::Utf8Path(path), bytes);
    ASSERT_TRUE(test::PublishSite(site_, 3));
    std::string text;
    ASSERT_TRUE(VerifyListSignature(ReadFile(ListFile()), text));
    list_ = ParseFileList(text);
    ASSERT_EQ(list_.entries.size(), files_.size());
    fs::create_directories(games_);
    PlaceLauncher();
  }
  void SetFaults(const std::string& faults) { ASSERT_TRUE(service_.SetFaults(faults)); }

  fs::path ListFile() const { return site_ / "TRN" / "element" / "files.md5"; }
  fs::path Folder() const { return folder_; }
  fs::path InFolder(const fs::path& folder, std::string listPath) const {
    for (char& c : listPath)
      if (c == '\\') c = '/';
    return folder / test::Utf8Path(listPath);
  }
  uint64_t SizeOf(const std::string& listPath) const { return files_.at(listPath).size(); }
  std::string Begin() const { return ":pick " + test::PathUtf8(games_) + "\n" + ScriptLine("install.folder") + ":wait\n"; }
  std::string Resume() const {
    return ":pick " + test::PathUtf8(games_) + "\n" + ScriptLine("install.resume") + ":wait\n";
  }

  // The launcher with the kill shim preloaded; kill empty: never killed.
  test::ProgramRun Launch(const std::string& script, const std::string& kill = "") {
    V args = {"LD_PRELOAD=" + std::string(TARN_KILL_SHIM), "TARN_KILL=" + kill,
              "TARN_SHIM_CLIENT=" + Folder().string() + "/", "ASAN_OPTIONS=verify_asan_link_order=0",
              exe_.string()};
    // A trace of every event, for choosing new points.
    if (const char* trace = std::getenv("TARN_SHIM_TRACE")) args.insert(args.begin(), "TARN_SHIM_TRACE=" + std::string(trace));
    return test::RunProgram("/usr/bin/env", script, args);
  }
  // A run killed at kill: the point must be reached.
  void Killed(const std::string& script, const std::string& kill) {
    const auto run = Launch(script, kill);
    // The shell reports a killed child as 128 + the signal.
    EXPECT_TRUE(run.exitCode == 128 + 9 || run.exitCode == -1) << kill << ": the launcher was not killed there\n" << run.out << run.err;
    ++interruptions_;
    ExpectStateFilesReadable();
  }
  // A run that must end with the install done.
  void Completes(const std::string& script, const V& faults = {}) {
    (void)faults;
    ExpectDone(Launch(script));
  }
  static void ExpectDone(const test::ProgramRun& run) {
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const V stages = Stages(run.lines());
    ASSERT_FALSE(stages.empty()) << run.out;
    EXPECT_EQ(stages.back(), "готово") << run.out;
  }

  // Every listed file holds the site's bytes; nothing half-made is left in
  // the client folder.
  void ExpectInstalled(const fs::path& folder) {
    for (const FileEntry& e : list_.entries)
      EXPECT_EQ(ReadFile(InFolder(folder, e.path)), files_.at(Slash(e.path))) << e.path;
    EXPECT_EQ(ReadFile(folder / "config" / "element" / "version.sw"), "3 0\n");
    size_t files = 0;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
      if (!item.is_regular_file()) continue;
      ++files;
      EXPECT_FALSE(item.path().string().ends_with(".part")) << item.path();
    }
    EXPECT_EQ(files, list_.entries.size() + 1) << "stray files in the client folder";
  }
  static std::string Slash(std::string path) {
    for (char& c : path)
      if (c == '\\') c = '/';
    return path;
  }

  // install.cfg and install.done, whenever they exist, are whole files the
  // launcher can read: CR LF lines, known keys, journal lines that name
  // listed files with their checksums.
  void ExpectStateFilesReadable() {
    const fs::path cfg = launcher_ / "data" / "install.cfg";
    if (fs::exists(cfg)) {
      bool whole = false;
      const V lines = SplitCrLf(ReadFile(cfg), whole);
      EXPECT_TRUE(whole) << ReadFile(cfg);
      std::map<std::string, std::string> values;
      for (const std::string& line : lines) {
        const size_t eq = line.find('=');
        ASSERT_NE(eq, std::string::npos) << line;
        EXPECT_TRUE(values.emplace(line.substr(0, eq), line.substr(eq + 1)).second) << line;
      }
      for (const auto& [key, value] : values) {
        if (key == "path") EXPECT_EQ(value, test::PathUtf8(Folder()));
        else if (key == "state") EXPECT_TRUE(value == "идёт" || value == "готово") << value;
        else if (key == "version") EXPECT_EQ(value, "3");
        else ADD_FAILURE() << "unknown key " << key;
      }
    }
    const fs::path done = launcher_ / "data" / "install.done";
    // A finished install keeps no journal: nothing would ever remove it.
    if (fs::exists(cfg) && ReadFile(cfg).find("state=готово") != std::string::npos) {
      EXPECT_FALSE(fs::exists(done)) << "a journal beside state готово";
    }
    if (fs::exists(done)) {
      bool whole = false;
      const V lines = SplitCrLf(ReadFile(done), whole);
      EXPECT_TRUE(whole) << ReadFile(done);
      for (size_t i = 0; i < lines.size(); ++i) {
        if (i == 0 && StartsWith(lines[i], "folder=")) {
          EXPECT_EQ(lines[i], "folder=" + test::PathUtf8(Folder()));
          continue;
        }
        const size_t tab = lines[i].find('\t');
        ASSERT_NE(tab, std::string::npos) << lines[i];
        bool listed = false;
        for (const FileEntry& e : list_.entries) listed |= e.path == lines[i].substr(tab + 1) && e.md5 == lines[i].substr(0, tab);
        EXPECT_TRUE(listed) << lines[i];
      }
    }
  }

  void TakeSnapshot() { before_ = Take(root_.path()); }
  // Nothing below the test's root changed outside the install folder, the
  // data folder and the launcher's own log (the site is the service's).
  void ExpectNothingElseTouched() {
    const Snapshot after = Take(root_.path());
    const auto allowed = [&](const std::string& path) {
      std::vector<fs::path> places = {Folder(), launcher_ / "data", site_};
      places.insert(places.end(), alsoAllowed_.begin(), alsoAllowed_.end());
      for (const fs::path& p : places)
        if (path == p.string() || StartsWith(path, p.string() + "/")) return true;
      return path == (launcher_ / "launcher.log").string();
    };
    for (const auto& [path, meta] : after) {
      const auto was = before_.find(path);
      if (was == before_.end() || was->second != meta) {
        EXPECT_TRUE(allowed(path)) << "written: " << path;
      }
    }
    for (const auto& [path, meta] : before_)
      if (!after.contains(path)) {
        EXPECT_TRUE(allowed(path)) << "removed: " << path;
      }
  }

  // Body bytes of file answers beyond each file's size, summed.
  uint64_t SentTwice() const {
    std::map<std::string, uint64_t> sent;
    for (const test::AccessEntry& e : service_.AccessLog())
      if (StartsWith(e.target, "/api/file") && (e.status == 200 || e.status == 206)) sent[e.target] += e.bytes;
    uint64_t twice = 0;
    for (const FileEntry& e : list_.entries) {
      const uint64_t got = sent[test::FileTarget(e.path)];
      if (got > e.size) twice += got - e.size;
    }
    return twice;
  }
  std::vector<test::AccessEntry> RequestsFor(std::string listPath) const {
    for (char& c : listPath)
      if (c == '/') c = '\\';
    std::vector<test::AccessEntry> kept;
    for (const test::AccessEntry& e : service_.AccessLog())
      if (e.target == test::FileTarget(listPath)) kept.push_back(e);
    return kept;
  }

  // Every file is in place and what the service sent twice stays within
  // the allowance.
  void ExpectWholeInstall(uint64_t refetched = 0, std::optional<fs::path> copy = std::nullopt) {
    ExpectInstalled(copy ? *copy : Folder());
    ExpectStateFilesReadable();
    EXPECT_FALSE(fs::exists(launcher_ / "data" / "install.done"));
    for (const auto& item : fs::directory_iterator(launcher_ / "data")) {
      const std::string name = item.path().filename().string();
      EXPECT_FALSE(StartsWith(name, "install.cfg.") || StartsWith(name, "install.done.")) << "left behind: " << name;
    }
    ExpectNothingElseTouched();
    // Several files arrive at once: each one in flight may lose what was
    // on its way, up to the allowance or its size.
    uint64_t perInterruption = 0;
    for (const auto& [path, bytes] : files_) perInterruption += std::min<uint64_t>(bytes.size(), kTwiceLimit);
    const uint64_t twice = SentTwice();
    EXPECT_LE(twice, interruptions_ * perInterruption + refetched) << service_.AccessLogText();
    std::printf("sent twice: %llu bytes, %llu interruptions\n", static_cast<unsigned long long>(twice),
                static_cast<unsigned long long>(interruptions_));
  }

  // The site's client already in place, as after an interrupted install
  // whose journal was lost: the check phase must hash every file.
  void PutClientInPlace() {
    fs::copy(site_ / "client", Folder(), fs::copy_options::recursive);
    WriteFile(launcher_ / "data" / "install.cfg",
              "path=" + test::PathUtf8(Folder()) + "\r\nstate=идёт\r\nversion=3\r\n");
  }

  // The client, in list order: packs large enough to be cut many times
  // over, small files and an empty one around them.
  const std::map<std::string, std::string> files_ = {
      {"ElementClient.exe", "MZ stand-in"},
      {"config/game.cfg", "fps=60\n"},
      {"data/a.pck", Random(300'000, 1)},
      {"data/big.pck", Random(1'000'000, 2)},
      {"data/c.pck", Random(200'000, 3)},
      {"data/пусто.dat", ""},
      {"Прочти меня.txt", "Привет"},
  };
  fs::path games_ = root_.path() / "Игры";
  fs::path folder_ = games_ / "ТАРН";
  std::vector<fs::path> alsoAllowed_;  // the test's own copies
  FileList list_;
  Snapshot before_;
  uint64_t interruptions_ = 0;
};

// ---------------------------------------------------------------------------
// The launcher killed at one or more points, then resumed to the end.

struct KillRow {
  const char* name;
  V kills;                   // one killed run for each, in turn
  bool clientInPlace = false;  // the check phase has every file to hash
  bool several = false;        // each kill leaves more than one ".part" file behind
};

void PrintTo(const KillRow& row, std::ostream* os) { *os << row.name; }

class KilledLauncher : public Matrix, public ::testing::WithParamInterface<KillRow> {};

TEST_P(KilledLauncher, ResumesToTheSitesExactClient) {
  const KillRow& row = GetParam();
  ASSERT_NO_FATAL_FAILURE(StartService({"--throttle", kThrottle}));
  if (row.clientInPlace) PutClientInPlace();
  TakeSnapshot();
  std::string script = row.clientInPlace ? Resume() : Begin();
  for (const std::string& kill : row.kills) {
    Killed(script, kill);
    if (row.several) {
      size_t parts = 0;
      for (const auto& item : fs::recursive_directory_iterator(Folder())) parts += item.path().extension() == ".part";
      EXPECT_GE(parts, 2u) << kill << ": the packs were not in flight together";
    }
    script = Resume();
  }
  Completes(script);
  ExpectWholeInstall();
  if (row.clientInPlace) {
    EXPECT_EQ(SentTwice(), 0u);
  }
}

// Events are "call:kind#N", "+" for just after the call (see kill_shim.cpp).
// Files go in list order; the list is sorted by path, so big.pck comes
// after a.pck.
const KillRow kKillRows[] = {
    // The check phase, hashing a client that is already there (the first
    // client file opened is the write probe).
    {"CheckBeforeTheFirstHash", {"open:client#2"}, true},
    {"CheckAfterTwoJournalLines", {"write:done#2+"}, true},
    {"CheckMidway", {"open:client#6"}, true},
    {"CheckAtItsLastJournalLine", {"write:done#7"}, true},
    // Settling the folder before the first byte.
    {"AfterTheWriteProbeIsMade", {"open:client#1+"}},
    {"BeforeTheJournalStarts", {"rename:done#1"}},
    {"BeforeTheRecordIsSaved", {"rename:cfg#1"}},
    {"WhileTheRecordIsWritten", {"write:cfg#1"}},
    {"AfterTheRecordIsSaved", {"rename:cfg#1+"}},
    // Mid-download: a.pck takes writes 3 to 21, big.pck 22 to 83.
    {"BeforeTheFirstWrite", {"write:part#1"}},
    {"InTheFirstPack", {"write:part#10"}},
    {"InTheBigPack", {"write:part#40"}},
    {"LateInTheBigPack", {"write:part#80+"}},
    // Between the ".part" flush and the rename.
    {"AfterTheFlushOfTheFirstPart", {"fdatasync:part#1+"}},
    {"BeforeTheRenameOfTheBigPack", {"rename:part#4"}},
    // Between the rename and the journal line.
    {"AfterTheFirstRename", {"rename:part#1+"}},
    {"AfterTheBigPacksRename", {"rename:part#4+"}},
    {"BeforeAJournalLine", {"write:done#3"}},
    // The finish: version file, journal removed, state "готово".
    {"BeforeTheVersionFileLands", {"rename:version#1"}},
    {"AfterTheVersionFile", {"rename:version#1+"}},
    {"WhileDoneIsWritten", {"write:cfg#2"}},
    {"AfterDoneIsSaved", {"rename:cfg#2+"}},
    {"BeforeTheJournalGoes", {"unlink:done#1"}},
    {"AfterTheJournalWent", {"unlink:done#1+"}},
    // Killed again while resuming.
    {"TwiceInTheBigPack", {"write:part#40", "write:part#20"}},
    {"ThreeTimesAcrossTheInstall", {"write:part#10", "rename:part#2+", "rename:cfg#1+"}},
    // Killed while the packs arrive together on connections of their own,
    // then again while the resumes of all of them arrive together.
    {"WhileThePacksArriveTogether", {"write:part#20"}, false, true},
    {"TwiceWhileThePacksArriveTogether", {"write:part#30", "write:part#15+"}, false, true},
    {"WhileOnePackIsFlushedAndOthersArrive", {"fdatasync:part#1"}, false, true},
};

INSTANTIATE_TEST_SUITE_P(Points, KilledLauncher, ::testing::ValuesIn(kKillRows),
                         [](const auto& row) { return std::string(row.param.name); });

// An update that patches a pack from its old copy, killed at one point,
// then run again to the end: the pack is the next build's byte for byte,
// and what the first run fetched is not fetched again.

struct PatchKillRow {
  const char* name;
  const char* kill;
};

void PrintTo(const PatchKillRow& row, std::ostream* os) { *os << row.name; }

class KilledPatch : public Matrix, public ::testing::WithParamInterface<PatchKillRow> {};

TEST_P(KilledPatch, ResumesToTheNextBuildFetchingNothingTwice) {
  const PatchKillRow& row = GetParam();
  const std::string pack = Random(2'500'000, 4);
  WriteFile(site_ / "client" / "data" / "huge.pck", pack);
  ASSERT_TRUE(test::PublishSite(site_, 3));
  ASSERT_NO_FATAL_FAILURE(StartService({"--throttle", kThrottle}));
  Completes(Begin());
  ASSERT_EQ(ReadFile(Folder() / "data" / "huge.pck"), pack);
  // The next build: two stretches changed, so two ranges.
  std::string next = pack;
  for (size_t i = 600'001; i < 900'001; ++i) next[i] = static_cast<char>(~next[i]);
  for (size_t i = 1'800'001; i < 2'000'001; ++i) next[i] = static_cast<char>(~next[i]);
  WriteFile(site_ / "client" / "data" / "huge.pck", next);
  ASSERT_TRUE(test::PublishSite(site_, 4));
  const size_t before = service_.AccessLog().size();

  const std::string update = ScriptLine("client.update") + ":wait\n";
  Killed(update, row.kill);
  EXPECT_EQ(ReadFile(Folder() / "data" / "huge.pck"), pack) << "nothing is placed before it is whole";
  const test::ProgramRun rerun = Launch(update);
  EXPECT_EQ(rerun.exitCode, 0) << rerun.err;
  EXPECT_TRUE(ReadFile(Folder() / "data" / "huge.pck") == next);
  EXPECT_EQ(ReadFile(Folder() / "config" / "element" / "version.sw").substr(0, 2), "4 ");
  EXPECT_FALSE(fs::exists(Folder() / "data" / "huge.pck.part"));
  // Two ranges of whole 16 KiB blocks over the changes, each sent once but
  // for what a kill may lose in flight.
  uint64_t fetched = 0;
  const std::vector<test::AccessEntry> log = service_.AccessLog();
  for (size_t i = before; i < log.size(); ++i) {
    if (log[i].target != test::FileTarget("data\\huge.pck")) continue;
    EXPECT_NE(log[i].range, "-") << "the pack came whole";
    fetched += log[i].bytes;
  }
  const uint64_t ranges = (900'001 / 16384 + 1 - 600'001 / 16384 + 2'000'001 / 16384 + 1 - 1'800'001 / 16384) * 16384;
  EXPECT_GE(fetched, ranges);
  EXPECT_LE(fetched, ranges + kTwiceLimit);
}

// The old copy is read before the first write of the ".part" file; the
// copies come in 1 MiB writes, the ranges in smaller ones.
const PatchKillRow kPatchKillRows[] = {
    {"AfterTheScanBeforeTheFirstWrite", "open:part#1"},
    {"InTheFirstRange", "write:part#3"},
    {"BeforeTheRename", "rename:part#1"},
};

INSTANTIATE_TEST_SUITE_P(Points, KilledPatch, ::testing::ValuesIn(kPatchKillRows),
                         [](const auto& row) { return std::string(row.param.name); });

// An update that brings a new file and changes a pack, halted midway (the
// player's stop, closing the launcher, or a kill), then run again to the
// end: at every halt each listed file is whole in its old or its new
// version and the old build is the stamped one, so the old client still
// runs; the next update is offered, finishes the next build and sends
// little twice.

enum class Halt { Stop, Close, Kill };

struct UpdateHaltRow {
  const char* name;
  Halt halt;
  const char* kill = "";
};

void PrintTo(const UpdateHaltRow& row, std::ostream* os) { *os << row.name; }

class HaltedUpdate : public Matrix, public ::testing::WithParamInterface<UpdateHaltRow> {};

TEST_P(HaltedUpdate, LeavesTheOldClientRunnableAndTheNextUpdateFinishes) {
  const UpdateHaltRow& row = GetParam();
  ASSERT_NO_FATAL_FAILURE(StartService({"--throttle", kThrottle}));
  Completes(Begin());
  // The next build: a new 4 MB file (about a second at the service's pace)
  // and a pack changed through and through.
  const std::string movie = Random(4'000'000, 5);
  const std::string pack = Random(200'000, 6);
  WriteFile(site_ / "client" / "data" / "movie.bin", movie);
  WriteFile(site_ / "client" / "data" / "c.pck", pack);
  ASSERT_TRUE(test::PublishSite(site_, 4));
  const size_t before = service_.AccessLog().size();
  TakeSnapshot();

  const std::string update = ScriptLine("client.update");
  switch (row.halt) {
    case Halt::Stop: {
      const test::ProgramRun run = Launch(update + ":sleep 500\n" + ScriptLine("client.stop") + ":wait\n");
      EXPECT_EQ(run.exitCode, 0) << run.err;
      EXPECT_NE(run.out.find("Обновление остановлено — скачанное сохранено"), std::string::npos) << run.out;
      break;
    }
    case Halt::Close: EXPECT_EQ(Launch(update + ":sleep 500\n").exitCode, 0); break;
    case Halt::Kill: Killed(update + ":wait\n", row.kill); break;
  }
  for (const auto& [path, bytes] : files_) {
    const std::string now = ReadFile(InFolder(Folder(), path));
    EXPECT_TRUE(now == bytes || (path == "data/c.pck" && now == pack)) << path;
  }
  const fs::path moviePath = Folder() / "data" / "movie.bin";
  EXPECT_FALSE(fs::exists(moviePath)) << "the new file came whole before the halt";
  EXPECT_EQ(ReadFile(Folder() / "config" / "element" / "version.sw"), "3 0\n");
  ExpectNothingElseTouched();

  // The next start still offers the update; it ends in the next build.
  const test::ProgramRun next = Launch(ScriptLine("ui.ready") + ":wait\n" + update + ":wait\n");
  EXPECT_EQ(next.exitCode, 0) << next.err;
  EXPECT_NE(next.out.find(R"({"update":{"available":true}})"), std::string::npos) << next.out;
  EXPECT_EQ(ReadFile(moviePath), movie);
  EXPECT_EQ(ReadFile(Folder() / "data" / "c.pck"), pack);
  EXPECT_EQ(ReadFile(Folder() / "config" / "element" / "version.sw").substr(0, 2), "4 ");
  for (const auto& item : fs::recursive_directory_iterator(Folder()))
    EXPECT_FALSE(item.path().string().ends_with(".part")) << item.path();
  ExpectNothingElseTouched();
  // What the halt cut short was continued, not fetched again: at most the
  // allowance twice per file in flight.
  uint64_t sent = 0;
  const std::vector<test::AccessEntry> log = service_.AccessLog();
  for (size_t i = before; i < log.size(); ++i)
    if (log[i].target == test::FileTarget("data\\movie.bin")) sent += log[i].bytes;
  EXPECT_GE(sent, movie.size());
  EXPECT_LE(sent, movie.size() + kTwiceLimit);
}

// The new file takes about 250 writes of its ".part" file.
const UpdateHaltRow kUpdateHaltRows[] = {
    {"StoppedByThePlayer", Halt::Stop},
    {"StoppedByClosing", Halt::Close},
    {"KilledInTheNewFile", Halt::Kill, "write:part#60"},
    {"KilledWhileItsPartIsFlushed", Halt::Kill, "fdatasync:part#1"},
};

INSTANTIATE_TEST_SUITE_P(Points, HaltedUpdate, ::testing::ValuesIn(kUpdateHaltRows),
                         [](const auto& row) { return std::string(row.param.name); });

// ---------------------------------------------------------------------------
// The service misbehaving. Rows that end in a retry wait its 2 s (the 500
// row 2 + 4 s): the engine's retry waits are part of what is checked.

enum class HeldPart { None, Overlong, CompleteButWrong };

struct ServiceRow {
  const char* name;
  const char* killFirst;   // a killed run before the faults, or nullptr
  const char* faults;      // in force from then on (beside the throttle)
  const char* file;        // the file the fault hits
  int status = 0;          // an answer for file with this status must be logged
  bool refetched = false;  // file may come whole once more (its bytes were bad or unusable)
  int cuts = 0;            // interruptions the service makes itself
  HeldPart part = HeldPart::None;  // a ".part" file there before the first run
  bool stopInStall = false;
  bool anyFile = false;  // the fault hits whichever file gets there first: the status may be any file's
};

void PrintTo(const ServiceRow& row, std::ostream* os) { *os << row.name; }

class ServiceFaults : public Matrix, public ::testing::WithParamInterface<ServiceRow> {};

TEST_P(ServiceFaults, EndInTheSitesExactClient) {
  const ServiceRow& row = GetParam();
  ASSERT_NO_FATAL_FAILURE(StartService({"--throttle", kThrottle}));
  const fs::path part = InFolder(Folder(), std::string(row.file) + ".part");
  if (row.part != HeldPart::None) {
    fs::create_directories(part.parent_path());
    WriteFile(part, row.part == HeldPart::Overlong ? files_.at(row.file) + "more" : Random(SizeOf(row.file), 9));
  }
  TakeSnapshot();
  std::string script = Begin();
  if (row.killFirst) {
    Killed(script, row.killFirst);
    script = Resume();
  }
  ASSERT_NO_FATAL_FAILURE(SetFaults(std::string(row.faults) + " --throttle " + kThrottle));
  if (row.stopInStall) {
    // A server that stops sending: the stop is not held up by the silence,
    // and what arrived before it is kept.
    const auto run = Launch(":pick " + test::PathUtf8(games_) + "\n" + ScriptLine("install.folder") + ":sleep 1000\n" +
                            ScriptLine("install.stop") + ":wait\n");
    EXPECT_EQ(Stages(run.lines()).back(), "продолжить") << run.out;
    uintmax_t kept = fs::exists(part) ? fs::file_size(part) : 0;
    if (row.anyFile)
      for (const auto& item : fs::recursive_directory_iterator(Folder()))
        if (item.path().extension() == ".part") kept += item.file_size();
    EXPECT_GT(kept, 0u);
    ++interruptions_;
    script = Resume();
  }
  interruptions_ += row.cuts;
  Completes(script);
  ExpectWholeInstall(row.refetched ? SizeOf(row.file) : 0);
  const auto requests = RequestsFor(row.file);
  ASSERT_FALSE(requests.empty());
  if (row.status != 0) {
    const auto log = row.anyFile ? service_.AccessLog() : requests;
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const auto& e) { return e.status == row.status; }))
        << service_.AccessLogText();
  }
  if (row.part == HeldPart::Overlong) {
    EXPECT_EQ(requests.front().range, "-");
  }
}

const ServiceRow kServiceRows[] = {
    {.name = "BodyCutShort", .killFirst = nullptr, .faults = "--cut-after 150000*1", .file = "data/a.pck",
     .status = 206, .cuts = 1, .anyFile = true},
    {.name = "RangeIgnored", .killFirst = "write:part#40", .faults = "--ignore-range", .file = "data/big.pck",
     .status = 200, .refetched = true},
    {.name = "WrongContentRange", .killFirst = "write:part#40", .faults = "--shift-range 1000*1",
     .file = "data/big.pck", .status = 206, .refetched = true},
    {.name = "Status416ForACompletePart", .killFirst = "rename:part#4", .faults = "", .file = "data/big.pck",
     .status = 416},
    {.name = "Status416ForAShortPart", .killFirst = "write:part#40", .faults = "--status data/big.pck=416*1",
     .file = "data/big.pck", .status = 416, .refetched = true},
    {.name = "Status416ForACompletePartOfWrongBytes", .killFirst = nullptr, .faults = "", .file = "data/big.pck",
     .status = 416, .part = HeldPart::CompleteButWrong},
    {.name = "OverlongPartStartsAfresh", .killFirst = nullptr, .faults = "", .file = "data/big.pck", .status = 200,
     .part = HeldPart::Overlong},
    {.name = "CorruptBytes", .killFirst = nullptr, .faults = "--corrupt data/a.pck*1", .file = "data/a.pck",
     .status = 200, .refetched = true},
    {.name = "Status500TwiceThenServed", .killFirst = nullptr, .faults = "--status data/a.pck=500*2",
     .file = "data/a.pck", .status = 500},
    {.name = "Status503AsksToWaitThenServed", .killFirst = nullptr,
     .faults = "--status data/a.pck=503*1 --retry-after 1", .file = "data/a.pck", .status = 503},
    {.name = "Status429AsksToWaitUntilAPastDateThenServed", .killFirst = nullptr,
     .faults = "--status data/a.pck=429*1 --retry-after \"Sun, 06 Nov 1994 08:49:37 GMT\"", .file = "data/a.pck",
     .status = 429},
    {.name = "StallThenStopAndResume", .killFirst = nullptr, .faults = "--stall-after 100000=2500*1",
     .file = "data/a.pck", .status = 206, .stopInStall = true, .anyFile = true},
};

INSTANTIATE_TEST_SUITE_P(Faults, ServiceFaults, ::testing::ValuesIn(kServiceRows),
                         [](const auto& row) { return std::string(row.param.name); });

// ---------------------------------------------------------------------------
// Small disks: the install folder on a tmpfs in a mount namespace of its
// own, which ends with the shell, so the client is copied out for checking.

class SmallDisks : public Matrix {
 protected:
  void SetUp() override {
    Matrix::SetUp();
    games_ = root_.path() / "disks";
    folder_ = games_ / "ТАРН";
    fs::create_directories(games_);
    alsoAllowed_ = {copy_};
    WriteFile(io_.path() / "begin", Begin());
    WriteFile(io_.path() / "resume", Resume());
  }
  // Runs body in sh with D (the disk), EXE, SHIM, IO and COPY set; false
  // when this machine allows no mounting.
  bool InMountNamespace(const std::string& body, const std::string& options = "size=70m") {
    const auto q = [](const fs::path& p) { return "'" + p.string() + "'"; };
    const std::string script = "D=" + q(games_) + "; EXE=" + q(exe_) + "; SHIM=" + q(TARN_KILL_SHIM) +
                               "; IO=" + q(io_.path()) + "; COPY=" + q(copy_) +
                               "; export ASAN_OPTIONS=verify_asan_link_order=0\n"
                               "mount -t tmpfs -o " + options + " tmpfs \"$D\" || exit 97\n" + body;
    const auto run = test::RunProgram("/usr/bin/unshare", "", {"-m", "--propagation", "private", "sh", "-c", script});
    if (run.exitCode == 97) return false;
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    return true;
  }
  test::ProgramRun Output(const std::string& name) const {
    test::ProgramRun run;
    run.out = ReadFile(io_.path() / ("out" + name));
    run.exitCode = std::stoi("0" + ReadFile(io_.path() / ("rc" + name)));
    return run;
  }

  test::TempDir io_;
  fs::path copy_ = root_.path() / "copy";
};

TEST_F(SmallDisks, ADiskFillingUpStopsTheRunAndTheResumeFinishesOnceThereIsRoom) {
  // Slow enough that the disk fills while the first pack arrives.
  ASSERT_NO_FATAL_FAILURE(StartService({"--throttle", "1000000"}));
  TakeSnapshot();
  const bool mounted = InMountNamespace(
      "( i=0; while [ ! -e \"$D/ТАРН/data/a.pck.part\" ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done;"
      "  cat /dev/zero > \"$D/filler\" 2>/dev/null ) & filler=$!\n"
      "\"$EXE\" < \"$IO/begin\" > \"$IO/out1\" 2>&1; echo $? > \"$IO/rc1\"\n"
      "wait $filler; rm -f \"$D/filler\"\n"
      "\"$EXE\" < \"$IO/resume\" > \"$IO/out2\" 2>&1; echo $? > \"$IO/rc2\"\n"
      "cp -a \"$D/ТАРН\" \"$COPY\"\n");
  if (!mounted) GTEST_SKIP() << "no mount namespace here: unshare -m or mount is not allowed";
  // Which of the files in flight meets the full disk first is the workers'
  // timing; the one error names it as a full disk.
  const V errors = Errors(Output("1").lines());
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(StartsWith(errors[0], "Не удалось скачать «")) << errors[0];
  EXPECT_NE(errors[0].find("». " + DownloadResultText(DownloadResult::DiskFull)), std::string::npos) << errors[0];
  ExpectDone(Output("2"));
  interruptions_ = 1;
  ExpectWholeInstall(0, copy_);
}

TEST_F(SmallDisks, AFolderTurnedReadOnlyIsRefusedUntouchedAndResumedOnceWritable) {
  ASSERT_NO_FATAL_FAILURE(StartService({"--throttle", kThrottle}));
  TakeSnapshot();
  const std::string sums = "find \"$D/ТАРН\" -type f -exec md5sum {} + | sort";
  const bool mounted = InMountNamespace(
      "env LD_PRELOAD=\"$SHIM\" TARN_KILL=write:part#10 \"$EXE\" < \"$IO/begin\" > \"$IO/out1\" 2>&1\n" + sums +
      " > \"$IO/sums1\"\n"
      "mount -o remount,ro \"$D\" || exit 1\n"
      "\"$EXE\" < \"$IO/resume\" > \"$IO/out2\" 2>&1; echo $? > \"$IO/rc2\"\n" +
      sums + " > \"$IO/sums2\"\n"
      "mount -o remount,rw \"$D\" || exit 1\n"
      "\"$EXE\" < \"$IO/resume\" > \"$IO/out3\" 2>&1; echo $? > \"$IO/rc3\"\n"
      "cp -a \"$D/ТАРН\" \"$COPY\"\n");
  if (!mounted) GTEST_SKIP() << "no mount namespace here: unshare -m or mount is not allowed";
  EXPECT_EQ(Errors(Output("2").lines()),
            V{"В папку «" + test::PathUtf8(Folder()) +
              "» нельзя записывать. Обычно так ведут себя «Program Files» и системный диск: выберите папку, "
              "которой распоряжаетесь вы."});
  // Which files were in flight at the kill depends on the workers' timing;
  // some ".part" file was, and the refused run must leave it as it was.
  const std::string held = ReadFile(io_.path() / "sums1");
  EXPECT_NE(held.find(".part"), std::string::npos) << held;
  EXPECT_EQ(ReadFile(io_.path() / "sums2"), held);
  ExpectStateFilesReadable();
  ExpectDone(Output("3"));
  interruptions_ = 1;
  ExpectWholeInstall(0, copy_);
}

// The install Event that ended a run.
std::string LastInstallEvent(const V& lines) {
  std::string last;
  for (const std::string& line : lines)
    if (StartsWith(line, R"({"install":)")) last = line;
  return last;
}

uint64_t Number(const std::string& event, const std::string& key) {
  const size_t at = event.find("\"" + key + "\":");
  return at == std::string::npos ? ~0ull : std::stoull(event.substr(at + key.size() + 3));
}

TEST_F(SmallDisks, RunningOutOfFileEntriesIsADiskFullAndTheFailureCountsOnlyWhatLanded) {
  ASSERT_NO_FATAL_FAILURE(StartService({"--throttle", kThrottle}));
  TakeSnapshot();
  // Room for the disk's root, the install folder and four more: the run
  // runs out of entries with bytes to spare, among the first files.
  const bool mounted = InMountNamespace(
      "\"$EXE\" < \"$IO/begin\" > \"$IO/out1\" 2>&1; echo $? > \"$IO/rc1\"\n"
      "cp -a \"$D/ТАРН\" \"$IO/held\"\n"
      "mount -o remount,nr_inodes=1000 \"$D\" || exit 1\n"
      "\"$EXE\" < \"$IO/resume\" > \"$IO/out2\" 2>&1; echo $? > \"$IO/rc2\"\n"
      "cp -a \"$D/ТАРН\" \"$COPY\"\n",
      "size=70m,nr_inodes=6");
  if (!mounted) GTEST_SKIP() << "no mount namespace here: unshare -m or mount is not allowed";
  const V lines = Output("1").lines();
  const V errors = Errors(lines);
  ASSERT_EQ(errors.size(), 1u) << Output("1").out;
  EXPECT_TRUE(StartsWith(errors[0], "Не удалось скачать «")) << errors[0];
  EXPECT_TRUE(errors[0].ends_with("». " + DownloadResultText(DownloadResult::DiskFull))) << errors[0];
  // The failure counts the files in place and the bytes of ".part" files.
  uint64_t files = 0;
  uint64_t bytes = 0;
  for (const FileEntry& e : list_.entries) {
    const fs::path held = InFolder(io_.path() / "held", e.path);
    if (fs::exists(held) && ReadFile(held) == files_.at(Slash(e.path))) {
      ++files;
      bytes += e.size;
    } else if (fs::exists(held.string() + ".part")) {
      bytes += fs::file_size(held.string() + ".part");
    }
  }
  const std::string last = LastInstallEvent(lines);
  std::printf("%s\non the disk: %llu files, %llu bytes\n", errors[0].c_str(), static_cast<unsigned long long>(files),
              static_cast<unsigned long long>(bytes));
  EXPECT_EQ(Number(last, "doneFiles"), files) << last;
  EXPECT_EQ(Number(last, "doneBytes"), bytes) << last;
  ExpectDone(Output("2"));
  interruptions_ = 1;
  ExpectWholeInstall(0, copy_);
}

TEST_F(SmallDisks, TooLittleRoomIsRefusedNamingTheFreeSpaceTheEventCarries) {
  ASSERT_NO_FATAL_FAILURE(StartService({"--throttle", kThrottle}));
  TakeSnapshot();
  // The run keeps 64 MiB spare beyond the client's 1.5 MB.
  const bool mounted =
      InMountNamespace("\"$EXE\" < \"$IO/begin\" > \"$IO/out1\" 2>&1; echo $? > \"$IO/rc1\"\n", "size=60m");
  if (!mounted) GTEST_SKIP() << "no mount namespace here: unshare -m or mount is not allowed";
  const V lines = Output("1").lines();
  const std::string last = LastInstallEvent(lines);
  const uint64_t free = Number(last, "freeBytes");
  EXPECT_GT(free, 50ull << 20) << last;
  const uint64_t need = list_.totalSize + list_.totalSize / 32 + (64ull << 20);
  EXPECT_EQ(Errors(lines), V{"На диске не хватает места. Нужно " + FormatSize(need) + ", а свободно " +
                             FormatSize(free) + ". Освободите место или выберите другой диск — уже скачанное сохранено."})
      << Output("1").out;
  EXPECT_EQ(Number(last, "doneFiles"), 0u) << last;
  EXPECT_EQ(Number(last, "doneBytes"), 0u) << last;
  ExpectNothingElseTouched();
}

// ---------------------------------------------------------------------------
// Lists that must not be installed from, and one whose hostile lines must
// be passed over.

const std::string kBadSignature =
    "Список файлов пришёл с неверной подписью, установка остановлена. Так выглядит подмена по дороге — сообщите об "
    "этом в поддержку и не устанавливайте игру из других источников.";

const std::string kRefusedTail =
    " Установка остановлена, ничего не записано. Это недосмотр на стороне сервера — сообщите в поддержку.";

enum class ListFault {
  Tampered,
  Truncated,
  ForeignKey,
  PathsLeavingTheFolder,
  AddedLines,
  OverTheCap,
  BelowTheFloor,
  NoEntries,
  NoPacks,
};

struct ListRow {
  const char* name;
  ListFault fault;
  // AddedLines: "size path" pairs signed into the list; first: before its entries.
  V added = {};
  bool first = false;
  // The message; empty: the signature's.
  std::string error = {};
};

void PrintTo(const ListRow& row, std::ostream* os) { *os << row.name; }

class HostileLists : public Matrix, public ::testing::WithParamInterface<ListRow> {
 protected:
  std::string Signed(const std::string& text, const fs::path& key) {
    std::string document, error;
    EXPECT_TRUE(tools::SignList(text, ReadFile(key), document, error)) << error;
    return document;
  }
};

TEST_P(HostileLists, AreRefusedOrPassedOverWithNothingWrittenOutside) {
  const ListRow& row = GetParam();
  const std::string document = ReadFile(ListFile());
  std::string text;
  ASSERT_TRUE(VerifyListSignature(document, text));
  test::TempDir keys;
  switch (row.fault) {
    case ListFault::Tampered: {
      // One checksum digit changed: a file swapped on the way.
      std::string changed = document;
      const size_t line = changed.find('\n') + 1;
      changed[line] = changed[line] == '0' ? '1' : '0';
      WriteFile(ListFile(), changed);
      break;
    }
    case ListFault::Truncated:
      WriteFile(ListFile(), document.substr(0, document.size() * 2 / 3));
      break;
    case ListFault::ForeignKey:
      ASSERT_EQ(test::detail::RunQuiet({test::PublishProgram().string(), "keygen", "--private",
                                        (keys.path() / "k.pem").string(), "--public",
                                        (keys.path() / "k.pub").string()},
                                       keys.path() / "out"),
                0);
      WriteFile(ListFile(), Signed(text, keys.path() / "k.pem"));
      break;
    case ListFault::AddedLines:
    case ListFault::OverTheCap: {
      std::string lines;
      for (size_t i = 0; i + 1 < row.added.size(); i += 2)
        lines += "0cc175b9c0f1b6a831c399e269772661 " + row.added[i] + " " + EncodeBase64(row.added[i + 1]) + "\n";
      // A list longer than the launcher reads, by a comment no one needs.
      if (row.fault == ListFault::OverTheCap) lines += "# " + std::string(4u << 20, '-') + "\n";
      const size_t entries = text.find('\n') + 1;  // after the build number
      const std::string changed = row.first ? text.substr(0, entries) + lines + text.substr(entries) : text + lines;
      WriteFile(ListFile(), Signed(changed, test::DemoPrivateKey()));
      break;
    }
    case ListFault::NoEntries:
      WriteFile(ListFile(), Signed("# 3\n", test::DemoPrivateKey()));
      break;
    case ListFault::NoPacks: {
      const size_t entries = text.find('\n') + 1;  // after the build number
      WriteFile(ListFile(),
                Signed(text.substr(0, entries) + "# без паков\n" + text.substr(entries), test::DemoPrivateKey()));
      break;
    }
    case ListFault::BelowTheFloor:
      // The launcher has had build 9; the service's list is build 3.
      WriteFile(launcher_ / "data" / "build.floor", "9\n");
      break;
    case ListFault::PathsLeavingTheFolder: {
      // Signed with the right key, so only the launcher's own reading of
      // the paths stands between them and the disk.
      const std::string md5 = "0cc175b9c0f1b6a831c399e269772661";  // "a"
      std::string hostile = text;
      for (const char* path : {"..\\..\\outside.txt", "..\\launcher\\data\\install.cfg", "/etc/tarn-outside",
                               "data\\..\\..\\..\\outside2.txt", "C:\\outside3.txt", "data\\. .\\x",
                               "data\\...\\outside4.txt", "..", "data\\\\..\\..\\outside5.txt"})
        hostile += md5 + " 1 " + EncodeBase64(path) + "\n";
      WriteFile(ListFile(), Signed(hostile, test::DemoPrivateKey()));
      break;
    }
  }
  ASSERT_NO_FATAL_FAILURE(StartService());
  TakeSnapshot();
  const auto run = Launch(Begin());
  if (row.fault == ListFault::PathsLeavingTheFolder) {
    ExpectDone(run);
    ExpectWholeInstall();
    return;
  }
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Errors(run.lines()), V{row.error.empty() ? kBadSignature : row.error}) << run.out.substr(0, 4000);
  EXPECT_FALSE(fs::exists(Folder()));
  EXPECT_FALSE(fs::exists(launcher_ / "data" / "install.cfg"));
  EXPECT_TRUE(RequestsFor("data/a.pck").empty());
  ExpectNothingElseTouched();
}

const ListRow kListRows[] = {
    {"Tampered", ListFault::Tampered},
    {"Truncated", ListFault::Truncated},
    {"SignedWithAnotherKey", ListFault::ForeignKey},
    {"PathsLeavingTheFolder", ListFault::PathsLeavingTheFolder},
    {"AnEntryNamedAsAnothersPartFile", ListFault::AddedLines, {"5", "data/a.pck.part"}, false,
     "Список файлов на сервере называет «data\\a.pck.part» — под этим именем докачивается «data\\a.pck», и один "
     "файл испортил бы другой." + kRefusedTail},
    {"ThePartFileListedFirstInOtherLetters", ListFault::AddedLines, {"5", "Data/A.PCK.part"}, true,
     "Список файлов на сервере называет «Data\\A.PCK.part» — под этим именем докачивается «data\\a.pck», и один "
     "файл испортил бы другой." + kRefusedTail},
    {"ASizeOfTwoToThe64Minus1", ListFault::AddedLines, {"18446744073709551615", "data/huge.pck"}, false,
     "Список файлов на сервере повреждён: размер файла «data\\huge.pck» записан не числом или больше, чем вмещает "
     "любой диск." + kRefusedTail},
    {"SizesAddingUpPastAnyDisk", ListFault::AddedLines,
     {"1125899906842624", "data/huge1.pck", "1125899906842624", "data/huge2.pck"}, false,
     "Список файлов на сервере повреждён: файлы в нём в сумме больше, чем вмещает любой диск." + kRefusedTail},
    {"ListOverTheCap", ListFault::OverTheCap, {}, false,
     "Список файлов на сервере больше 4 МБ — он слишком велик для этого лаунчера." + kRefusedTail},
    {"AFileListedTwice", ListFault::AddedLines, {"5", "data/a.pck"}, false,
     "Список файлов на сервере называет «data\\a.pck» дважды, и неясно, какой из двух ставить." + kRefusedTail},
    {"AFileListedFirstInOtherLetters", ListFault::AddedLines, {"5", "Data/A.pck"}, true,
     "Список файлов на сервере называет один файл дважды: «Data\\A.pck» и «data\\a.pck» — для Windows это одно "
     "имя, и неясно, какой из двух ставить." + kRefusedTail},
    {"ABuildBelowTheOneTheLauncherHasHad", ListFault::BelowTheFloor, {}, false,
     "Клиент на сервере старше установленного: на сервере сборка 3, а у вас уже стояла сборка 9. Установка "
     "остановлена, ничего не записано: откатывать игру к старой сборке лаунчер не станет. Сообщите в поддержку."},
    // Signed and whole, yet nothing to install from.
    {"NoEntries", ListFault::NoEntries, {}, false,
     "Сервер отдал пустой список файлов. Скорее всего, идёт обслуживание — попробуйте позже."},
    {"BuiltWithoutThePacks", ListFault::NoPacks, {}, false,
     "Список файлов на сервере собран без игровых архивов, поставить по нему игру нельзя. Это недосмотр на "
     "стороне сервера — сообщите в поддержку."},
};

INSTANTIATE_TEST_SUITE_P(Lists, HostileLists, ::testing::ValuesIn(kListRows),
                         [](const auto& row) { return std::string(row.param.name); });

// ---------------------------------------------------------------------------
// Moving the installed client, killed at one point or stopped (by the
// player or by closing) while a file is held up, then moved again to the
// end. Until the record switches, the old copy is whole and recorded; a
// copy cut off leaves at most the target half filled, with the move's
// marker, which the next move into it clears and fills again. The copy
// rows move to /dev/shm, another file system here; the rename rows stay
// on the test's disk.

struct MoveRow {
  const char* name;
  bool otherDisk = false;
  const char* kill = nullptr;   // the kill point, or nullptr
  const char* stall = nullptr;  // held back while stop is sent (kill nullptr)
  const char* stop = nullptr;   // "client.move.stop" or "window.close"
  bool recordFollowed = false;  // the kill came after the client's record followed it
};

void PrintTo(const MoveRow& row, std::ostream* os) { *os << row.name; }

class InterruptedMove : public Matrix, public ::testing::WithParamInterface<MoveRow> {
 protected:
  void SetUp() override {
    Matrix::SetUp();
    fs::copy(site_ / "client", Folder(), fs::copy_options::recursive);
    WriteFile(Folder() / "config" / "element" / "version.sw", "3 0\n");
    WriteFile(launcher_ / "data" / "install.cfg", Record(Folder()));
    if (GetParam().otherDisk) {
      shm_ = fs::path("/dev/shm") / ("tarn-move-" + std::to_string(std::random_device{}()));
      fs::create_directories(shm_);
      target_ = shm_ / "ТАРН";
    } else {
      target_ = games_ / "Новое" / "ТАРН";
    }
    alsoAllowed_ = {target_.parent_path()};
  }
  void TearDown() override {
    std::error_code ignored;
    if (!shm_.empty()) fs::remove_all(shm_, ignored);
    Matrix::TearDown();
  }
  static std::string Record(const fs::path& folder) {
    return "path=" + test::PathUtf8(folder) + "\r\nstate=готово\r\nversion=3\r\n";
  }
  std::string Path() const {
    const std::string text = ReadFile(launcher_ / "data" / "install.cfg");
    const size_t at = text.find("path=");
    return at == std::string::npos ? "" : text.substr(at + 5, text.find("\r\n", at) - at - 5);
  }
  // The move's events count below the folder the kill or stall concerns.
  test::ProgramRun Move(const std::string& tail, const char* kill, const char* stall) {
    const fs::path watched = GetParam().otherDisk ? target_ : games_;
    V args = {"LD_PRELOAD=" + std::string(TARN_KILL_SHIM), "TARN_KILL=" + std::string(kill ? kill : ""),
              "TARN_STALL=" + std::string(stall ? stall : ""), "TARN_SHIM_CLIENT=" + watched.string() + "/",
              "ASAN_OPTIONS=verify_asan_link_order=0", exe_.string()};
    return test::RunProgram("/usr/bin/env",
                            ":pick " + test::PathUtf8(target_) + "\n" + ScriptLine("client.move") + tail, args);
  }

  fs::path shm_;
  fs::path target_;
};

TEST_P(InterruptedMove, LeavesTheOldClientRecordedUntilTheNewOneIsWhole) {
  const MoveRow& row = GetParam();
  if (row.otherDisk) {
    struct stat a{}, b{};
    if (stat(root_.path().c_str(), &a) != 0 || stat(shm_.c_str(), &b) != 0 || a.st_dev == b.st_dev)
      GTEST_SKIP() << "/dev/shm is on the test folder's own file system here";
  }
  ASSERT_NO_FATAL_FAILURE(StartService());
  TakeSnapshot();
  if (row.kill) {
    const auto run = Move(":wait\n", row.kill, nullptr);
    EXPECT_TRUE(run.exitCode == 128 + 9 || run.exitCode == -1) << row.kill << ": not killed there\n" << run.out;
  } else {
    const auto run = Move(":sleep 600\n" + ScriptLine(row.stop) + ":wait\n", nullptr, row.stall);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    // Closing takes the page away before the stop's last words.
    if (std::string_view(row.stop) == "client.move.stop") {
      EXPECT_NE(run.out.find("Перенос остановлен — игра осталась в «" + test::PathUtf8(Folder()) + "»"),
                std::string::npos)
          << run.out;
    }
    // What the copy wrote went with the stop.
    EXPECT_FALSE(fs::exists(target_));
  }

  if (row.recordFollowed) {
    // The next look for the client finds it in its new place, and the old
    // copy left behind goes with its listed files, but not the player's.
    WriteFile(Folder() / "Скриншоты" / "мой.png", "screenshot");
    const auto run = test::RunProgram(exe_, ScriptLine("client.verify") + ":wait\n");
    EXPECT_NE(run.out.find("Расхождений нет — клиент целый"), std::string::npos) << run.out;
    EXPECT_EQ(Path(), test::PathUtf8(target_));
    EXPECT_EQ(ReadFile(launcher_ / "data" / "install.cfg").find("movedFrom=/"), std::string::npos);
    for (const FileEntry& e : list_.entries) EXPECT_FALSE(fs::exists(InFolder(Folder(), e.path))) << e.path;
    EXPECT_FALSE(fs::exists(Folder() / "config" / "element" / "version.sw"));
    EXPECT_EQ(ReadFile(Folder() / "Скриншоты" / "мой.png"), "screenshot");
    EXPECT_FALSE(fs::exists(target_ / kMoveMarker));
    ExpectInstalled(target_);
  } else {
    EXPECT_EQ(Path(), test::PathUtf8(Folder()));
    ExpectInstalled(Folder());
    // Moved again: a half-filled target is cleared and filled anew.
    const auto run = Move(":wait\n", nullptr, nullptr);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find(test::Progress("Игра перенесена", 100, true)), std::string::npos) << run.out;
    EXPECT_EQ(Path(), test::PathUtf8(target_));
    ExpectInstalled(target_);
    EXPECT_FALSE(fs::exists(Folder()));
  }
  ExpectNothingElseTouched();
}

// On the copy road the marker is the first write below the target, then
// ElementClient.exe, config/game.cfg, a.pck and big.pck (each one write);
// the record's rewrite is the first rename of install.cfg. On the rename
// road the folder's rename is the first of a client folder, after the
// record has noted where it goes.
const MoveRow kMoveRows[] = {
    {"CopyKilledWhileTheMarkerIsWritten", true, "write:client#1"},
    {"CopyKilledInTheBigPack", true, "write:client#5"},
    {"CopyKilledBeforeItsCheckIsOver", true, "open:client#12"},
    {"CopyKilledAsTheRecordSwitches", true, "rename:cfg#1"},
    {"CopyKilledAfterTheRecordSwitched", true, "rename:cfg#1+", nullptr, nullptr, true},
    {"CopyStoppedByThePlayer", true, nullptr, "write:client#5:1500", "client.move.stop"},
    {"CopyStoppedByClosing", true, nullptr, "write:client#5:1500", "window.close"},
    {"RenameKilledBeforeTheRename", false, "rename:client#1"},
    {"RenameKilledBeforeTheRecordFollows", false, "rename:client#1+", nullptr, nullptr, true},
};

INSTANTIATE_TEST_SUITE_P(Moves, InterruptedMove, ::testing::ValuesIn(kMoveRows),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tarn

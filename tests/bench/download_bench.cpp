// Download speed: the launcher's resumable downloader beside the curl
// command line, fetching the same files one after another from the same
// reference service on the loopback, in one run; then a resume, counted in
// the service's access log. Not part of the test command at full size; see
// docs/performance.md for how to run it.
//
//   tarn-download-bench [--large-mib=N] [--large-files=N] [--small-files=N]
//                       [--small-bytes=N] [--rounds=N] [--curl-each=0|1] [--work=DIR]
//                       [--workers=N] [--one-connection=0] [--launcher-only=1] [--keep=1]
//                       [--proxy=PATH-OF-tarn-delay-proxy --rtt-ms=N --mbit=N]
//
// Contenders, each timed by wall clock and by the CPU time of whoever
// downloads: the launcher (one DownloadSession for the set, as the install
// and the update use it: a kept connection, the MD5 taken as the bytes
// arrive, each ".part" file flushed to the disk by a companion thread while
// the next file arrives, then renamed); curl once per file; one
// curl for all files on a kept connection; and that curl followed by
// "sync --data" over its files, which matches the launcher's durability.
//
// It starts the reference service on a free loopback port and points both
// the launcher's code and curl at it.
#include <spawn.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "download/request_path.h"
#include "download/session.h"
#include "platform/crypto.h"
#include "support/http_server.h"
#include "support/service_fixture.h"
#include "support/service_launcher.h"
#include "tools/common/crypto.h"
#include "update/update.h"
#include "wiring/launcher.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  uint64_t largeMib = 512;
  uint64_t largeFiles = 8;
  uint64_t smallFiles = 2000;
  uint64_t smallBytes = 16384;
  int rounds = 3;
  bool curlEach = true;  // a process per file is slow: 2,000 of them take minutes
  bool launcherOnly = false;  // for a profiler: no curl rounds at all
  // Deleting thousands of files makes every file created in the next
  // minutes dearer on ext4; runs compared one after another keep theirs.
  bool keep = false;
  bool oneConnection = true;  // the launcher on one connection, as before the workers
  size_t workers = 16;  // the install's and the update's fetch workers; 0 leaves them out
  // With a delay proxy the launcher's rounds cross a distant line; curl,
  // which would pay a round trip per file on its one connection, sits out.
  std::string proxy;
  std::string rttMs = "40";
  std::string mbit = "200";
  fs::path work = fs::temp_directory_path() / "tarn-download-bench";
};

struct File {
  std::string listPath;  // '/' separated below the site's client folder
  uint64_t size = 0;
  std::string md5;
};

// The file's MD5 in hex; empty when it cannot be read.
std::string Md5Hex(const fs::path& path) {
  std::string hex;
  return tarn::FileMd5Hex(path.string(), hex) ? hex : std::string();
}

bool Flag(const std::string& arg, const char* name, std::string& value) {
  const std::string prefix = std::string("--") + name + "=";
  if (arg.rfind(prefix, 0) != 0) return false;
  value = arg.substr(prefix.size());
  return true;
}

void WriteRandom(const fs::path& path, uint64_t size, uint64_t& seed) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  std::vector<uint64_t> block(1 << 17);
  for (uint64_t done = 0; done < size;) {
    for (uint64_t& w : block) {
      seed ^= seed << 13;
      seed ^= seed >> 7;
      seed ^= seed << 17;
      w = seed;
    }
    const uint64_t n = std::min<uint64_t>(size - done, block.size() * sizeof(uint64_t));
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
    done += n;
  }
}

std::vector<File> MakeFiles(const fs::path& client, const std::string& folder, uint64_t count, uint64_t size,
                            uint64_t seed) {
  std::vector<File> files;
  for (uint64_t i = 0; i < count; ++i) {
    File f;
    f.listPath = folder + "/" + std::to_string(i / 100) + "/file" + std::to_string(i) + ".dat";
    f.size = size;
    WriteRandom(client / f.listPath, size, seed);
    f.md5 = Md5Hex(client / f.listPath);
    files.push_back(f);
  }
  return files;
}

// The launcher the bench downloads as: the program's one.
tarn::Launcher gParts;
tarn::LauncherContext& gLauncher = gParts.context;

std::string ListPath(std::string p) {
  std::replace(p.begin(), p.end(), '/', '\\');
  return p;
}

// One session for the set, as the install engine and the update run it;
// the round ends when every file is on the disk under its name.
bool LauncherRound(const std::vector<File>& files, const fs::path& into) {
  const std::atomic<bool> pause{false};
  const std::atomic<bool> stop{false};
  bool placed = true;
  tarn::DownloadSession session(gParts.download, [&](const tarn::PlacedFile& p) {
    if (p.result == tarn::DownloadResult::Ok) return;
    std::fprintf(stderr, "launcher: %s: not placed, result %d\n", files[p.tag].listPath.c_str(),
                 static_cast<int>(p.result));
    placed = false;
  });
  for (size_t i = 0; i < files.size(); ++i) {
    const File& f = files[i];
    const tarn::DownloadResult r = session.Download(tarn::FileRequestPath(ListPath(f.listPath)),
                                                    (into / f.listPath).string(), f.md5, f.size, {pause, stop}, {},
                                                    true, i);
    if (r != tarn::DownloadResult::Ok) {
      std::fprintf(stderr, "launcher: %s: result %d\n", f.listPath.c_str(), static_cast<int>(r));
      return false;
    }
  }
  session.Drain();
  return placed;
}

// The same set as the install and the update fetch it: workers, each with
// a kept connection of its own, receive and check; this thread hands the
// files over in list order to the session, which flushes and renames them.
bool WorkersRound(const std::vector<File>& files, const fs::path& into, size_t count) {
  const std::atomic<bool> pause{false};
  const std::atomic<bool> stop{false};
  bool placed = true;
  tarn::DownloadSession session(gParts.download, [&](const tarn::PlacedFile& p) {
    if (p.result == tarn::DownloadResult::Ok) return;
    std::fprintf(stderr, "workers: %s: not placed, result %d\n", files[p.tag].listPath.c_str(),
                 static_cast<int>(p.result));
    placed = false;
  });
  std::vector<std::string> targets(files.size());
  for (size_t i = 0; i < files.size(); ++i) targets[i] = (into / files[i].listPath).string();
  std::vector<tarn::FetchedFile> fetched(files.size());
  std::vector<tarn::DownloadResult> results(files.size(), tarn::DownloadResult::Ok);
  tarn::FetchWorkers workers(
      files.size(), count, [&targets](size_t i) -> const std::string& { return targets[i]; },
      [&](size_t i, tarn::FetchWorkers&) {
        const File& f = files[i];
        results[i] = session.Fetch(tarn::FileRequestPath(ListPath(f.listPath)), targets[i], f.md5, f.size,
                                   {pause, stop}, {}, true, fetched[i]);
        return results[i] == tarn::DownloadResult::Ok;
      });
  size_t i = 0;
  while (workers.Next(i, [&] { session.Poll(); })) {
    if (results[i] != tarn::DownloadResult::Ok) {
      std::fprintf(stderr, "workers: %s: result %d\n", files[i].listPath.c_str(), static_cast<int>(results[i]));
      placed = false;
      workers.Halt();
      continue;
    }
    session.Place(std::move(fetched[i]), i);
  }
  session.Drain();
  return placed;
}

int RunCommand(const std::vector<std::string>& argv) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The running service's address, set once it listens.
std::string serviceUrl;

std::string Url(const File& f) { return serviceUrl + tarn::FileRequestPath(ListPath(f.listPath)); }

// One curl process per file: what a script fetching the files one after
// another does.
bool CurlEachRound(const std::vector<File>& files, const fs::path& into) {
  for (const File& f : files) {
    fs::create_directories((into / f.listPath).parent_path());
    if (RunCommand({"curl", "-sSf", "--noproxy", "*", "-o", (into / f.listPath).string(), Url(f)}) != 0) return false;
  }
  return true;
}

// One curl process for all files, still one after another, but on a kept
// connection and without a process start per file.
bool CurlOnceRound(const std::vector<File>& files, const fs::path& into) {
  fs::create_directories(into);
  const fs::path config = into.string() + ".curlrc";
  {
    std::ofstream out(config);
    for (const File& f : files) {
      fs::create_directories((into / f.listPath).parent_path());
      out << "url = \"" << Url(f) << "\"\noutput = \"" << (into / f.listPath).string() << "\"\n";
    }
  }
  return RunCommand({"curl", "-sSf", "--noproxy", "*", "-K", config.string()}) == 0;
}

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// User + system seconds a running process has spent so far; -1 when
// /proc does not say.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // After the name: state, then fields 4..13, then utime (14) and stime (15).
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// One core's MD5 speed right now, in MB/s: on a shared machine it says how
// much of a core the other tenants left, and the launcher's large files
// are bound by it.
double Md5MegabytesPerSecond() {
  const std::string block(64u << 20, '\x5a');
  const auto start = Clock::now();
  tarn::tools::Md5Hex(block);
  return static_cast<double>(block.size()) / 1e6 / std::chrono::duration<double>(Clock::now() - start).count();
}

struct Timing {
  double wall = -1;  // median over the rounds
  double cpu = -1;   // median CPU time (user + system) of whoever downloads
  double served = -1;  // median CPU time the service spent meanwhile
};

// The launcher downloads in this process; curl in child processes, whose
// CPU time is counted once they have been waited for. The service's own
// time is in neither.
// The same, then its files flushed to the disk as the launcher flushes each
// finished file before giving it its name: the like-for-like figure for
// durability.
bool CurlOnceSyncedRound(const std::vector<File>& files, const fs::path& into) {
  if (!CurlOnceRound(files, into)) return false;
  std::vector<std::string> argv = {"sync", "--data"};
  for (const File& f : files) argv.push_back((into / f.listPath).string());
  return RunCommand(argv) == 0;
}

// What a script that wants the launcher's guarantees does: the single curl,
// then every file checked against the list (`md5sum -c`), then flushed.
bool CurlOnceCheckedSyncedRound(const std::vector<File>& files, const fs::path& into) {
  if (!CurlOnceRound(files, into)) return false;
  const fs::path sums = into.string() + ".md5";
  {
    std::ofstream out(sums);
    for (const File& f : files) out << f.md5 << "  " << (into / f.listPath).string() << "\n";
  }
  if (RunCommand({"md5sum", "-c", "--status", sums.string()}) != 0) return false;
  std::vector<std::string> argv = {"sync", "--data"};
  for (const File& f : files) argv.push_back((into / f.listPath).string());
  return RunCommand(argv) == 0;
}

// One contender's rounds. Every round writes into a folder of its own, and
// nothing is deleted until the end: on ext4 a file made soon after many
// were deleted costs a search for an inode that was not freed recently,
// which would bill one contender for another's clean-up. Before each round
// the disk catches up (outside the timing), so no round pays for the dirty
// data of the last.
struct Contender {
  Contender(int w, std::function<bool(const fs::path&)> r) : who(w), round(std::move(r)) {}

  int who;  // RUSAGE_SELF or RUSAGE_CHILDREN
  std::function<bool(const fs::path&)> round;
  std::vector<double> walls, cpus, serviceCpus;
  bool failed = false;

  void Run(const fs::path& into, pid_t service) {
    sync();
    const double cpu0 = CpuSeconds(who);
    const double served0 = ProcessCpuSeconds(service);
    const auto start = Clock::now();
    if (!round(into)) failed = true;
    walls.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    cpus.push_back(CpuSeconds(who) - cpu0);
    serviceCpus.push_back(ProcessCpuSeconds(service) - served0);
  }

  Timing Median() {
    if (failed || walls.empty()) return {};
    std::sort(walls.begin(), walls.end());
    std::sort(cpus.begin(), cpus.end());
    std::sort(serviceCpus.begin(), serviceCpus.end());
    return {walls[walls.size() / 2], cpus[cpus.size() / 2], serviceCpus[serviceCpus.size() / 2]};
  }
};

void StopProxy(pid_t proxy) {
  if (proxy <= 0) return;
  kill(proxy, SIGTERM);
  waitpid(proxy, nullptr, 0);
}

bool SameFiles(const std::vector<File>& files, const fs::path& dir) {
  for (const File& f : files)
    if (Md5Hex(dir / f.listPath) != f.md5) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string v;
    const std::string arg = argv[i];
    if (Flag(arg, "large-mib", v)) o.largeMib = std::stoull(v);
    else if (Flag(arg, "large-files", v)) o.largeFiles = std::stoull(v);
    else if (Flag(arg, "small-files", v)) o.smallFiles = std::stoull(v);
    else if (Flag(arg, "small-bytes", v)) o.smallBytes = std::stoull(v);
    else if (Flag(arg, "rounds", v)) o.rounds = std::stoi(v);
    else if (Flag(arg, "curl-each", v)) o.curlEach = v != "0";
    else if (Flag(arg, "launcher-only", v)) o.launcherOnly = v != "0";
    else if (Flag(arg, "work", v)) o.work = v;
    else if (Flag(arg, "workers", v)) o.workers = std::stoull(v);
    else if (Flag(arg, "one-connection", v)) o.oneConnection = v != "0";
    else if (Flag(arg, "keep", v)) o.keep = v != "0";
    else if (Flag(arg, "proxy", v)) o.proxy = v;
    else if (Flag(arg, "rtt-ms", v)) o.rttMs = v;
    else if (Flag(arg, "mbit", v)) o.mbit = v;
    else {
      std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  fs::remove_all(o.work);
  const fs::path site = o.work / "site";
  fs::create_directories(site / "TRN" / "element");
  std::ofstream(site / "TRN" / "element" / "version") << "3\n";
  const std::vector<File> large =
      MakeFiles(site / "client", "packs", o.largeFiles, (o.largeMib << 20) / std::max<uint64_t>(1, o.largeFiles), 1);
  const std::vector<File> small = MakeFiles(site / "client", "configs", o.smallFiles, o.smallBytes, 2);

  tarn::test::ServiceProcess service;
  tarn::test::ServiceOptions options;
  options.site = site;
  if (!service.Start(options)) {
    std::fprintf(stderr, "cannot start the reference service: %s\n", service.error().c_str());
    return 1;
  }
  serviceUrl = service.Url("");
  int port = service.port();
  pid_t proxy = -1;
  if (!o.proxy.empty()) {
    o.launcherOnly = true;
    port = tarn::test::UnusedPort();
    std::vector<std::string> args = {o.proxy,    "--listen", std::to_string(port), "--to", std::to_string(service.port()),
                                     "--rtt-ms", o.rttMs,    "--mbit",             o.mbit};
    std::vector<char*> argvProxy;
    for (std::string& a : args) argvProxy.push_back(a.data());
    argvProxy.push_back(nullptr);
    if (posix_spawn(&proxy, o.proxy.c_str(), nullptr, nullptr, argvProxy.data(), environ) != 0) {
      std::fprintf(stderr, "cannot start %s\n", o.proxy.c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::printf("the launcher through the delay proxy: %s ms round trip, %s Mbit/s; curl left out\n",
                o.rttMs.c_str(), o.mbit.c_str());
  }
  const tarn::test::LoopbackEndpoint endpoint(gLauncher, port);

  struct Set {
    const char* name;
    const std::vector<File>& files;
  };
  bool ok = true;
  const double md5Before = Md5MegabytesPerSecond();
  std::printf("wall and CPU seconds, median of %d rounds; ratios are curl / launcher\n", o.rounds);
  std::printf("%-20s %6s | %9s %8s | %9s %8s | %9s %8s | %9s | %6s %6s %6s %6s %6s\n", "set", "files", "launcher",
              "cpu", "curl each", "cpu", "curl once", "cpu", "+sync", "each", "each", "once", "once", "+sync");
  std::printf("%-20s %6s | %9s %8s | %9s %8s | %9s %8s | %9s | %6s %6s %6s %6s %6s\n", "", "", "wall", "", "wall", "",
              "wall", "", "wall", "wall", "cpu", "wall", "cpu", "wall");
  for (const Set& s : {Set{"large", large}, Set{"small", small}}) {
    uint64_t bytes = 0;
    for (const File& f : s.files) bytes += f.size;
    // The contenders take turns, round by round, so a machine that grows
    // busier or quieter during the run weighs on all of them alike.
    Contender launcherC{RUSAGE_SELF, [&](const fs::path& d) { return LauncherRound(s.files, d); }};
    Contender eachC{RUSAGE_CHILDREN, [&](const fs::path& d) { return CurlEachRound(s.files, d); }};
    Contender onceC{RUSAGE_CHILDREN, [&](const fs::path& d) { return CurlOnceRound(s.files, d); }};
    Contender syncedC{RUSAGE_CHILDREN, [&](const fs::path& d) { return CurlOnceSyncedRound(s.files, d); }};
    Contender workersC{RUSAGE_SELF, [&](const fs::path& d) { return WorkersRound(s.files, d, o.workers); }};
    Contender checkedC{RUSAGE_CHILDREN, [&](const fs::path& d) { return CurlOnceCheckedSyncedRound(s.files, d); }};
    if (s.files.empty()) continue;
    std::vector<Contender*> all;
    if (o.oneConnection) all.push_back(&launcherC);
    if (o.workers > 0) all.push_back(&workersC);
    if (!o.launcherOnly) all.insert(all.end(), {&onceC, &syncedC, &checkedC});
    if (o.curlEach && !o.launcherOnly) all.push_back(&eachC);
    int fresh = 0;
    bool same = true;
    for (int r = 0; r < o.rounds; ++r) {
      for (Contender* c : all) {
        const fs::path into = o.work / "out" / std::string(s.name) / std::to_string(fresh++);
        c->Run(into, service.pid());
        // The check of the result is outside the timing.
        same = same && SameFiles(s.files, into);
        // A few large files cost no inode search when they are deleted,
        // and keeping every round's copy would grow the page cache by
        // gigabytes, whose fresh pages cost the later rounds more than
        // the earlier ones on a virtual machine.
        if (s.files.size() < 100) fs::remove_all(into);
      }
    }
    const Timing launcher = launcherC.Median();
    const Timing each = o.curlEach ? eachC.Median() : Timing{};
    const Timing once = onceC.Median();
    const Timing synced = syncedC.Median();
    const Timing checked = checkedC.Median();
    const Timing fetchers = o.workers > 0 ? workersC.Median() : Timing{};
    if (o.workers > 0 && fetchers.wall < 0) ok = false;
    const bool curlRan = !o.launcherOnly;
    if ((o.oneConnection && launcher.wall < 0) || (curlRan && o.curlEach && each.wall < 0) ||
        (curlRan && (once.wall < 0 || synced.wall < 0 || checked.wall < 0)) || !same)
      ok = false;
    char name[64];
    std::snprintf(name, sizeof name, "%s %.1f MiB", s.name, static_cast<double>(bytes) / (1 << 20));
    std::printf("%-20s %6zu | %9.3f %8.3f | %9.3f %8.3f | %9.3f %8.3f | %9.3f | %6.2f %6.2f %6.2f %6.2f %6.2f\n",
                name, s.files.size(), launcher.wall, launcher.cpu, each.wall, each.cpu, once.wall, once.cpu,
                synced.wall, each.wall / launcher.wall, each.cpu / launcher.cpu, once.wall / launcher.wall,
                once.cpu / launcher.cpu, synced.wall / launcher.wall);
    std::printf("%-20s %6s | one curl + md5sum -c + sync: %.3f wall, ratio %.2f\n", "", "", checked.wall,
                checked.wall / launcher.wall);
    if (o.workers > 0)
      std::printf("%-20s %6s | launcher, %zu workers: %.3f wall, %.3f cpu; one curl / it %.2f, +sync / it %.2f\n", "",
                  "", o.workers, fetchers.wall, fetchers.cpu, once.wall / fetchers.wall, synced.wall / fetchers.wall);
    std::printf("%-20s %6s | service CPU meanwhile: %.3f for the launcher, %.3f for one curl\n", "", "",
                launcher.served, once.served);
  }
  std::printf("one core's MD5 speed: %.0f MB/s before the rounds, %.0f MB/s after\n", md5Before,
              Md5MegabytesPerSecond());

  // A resume: the first answer is cut after a third of the file, the second
  // call must ask only for the rest.
  if (large.empty()) {
    StopProxy(proxy);
    service.Stop();
    if (!o.keep) fs::remove_all(o.work);
    std::printf("%s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
  }
  const File& big = large.front();
  const uint64_t cut = big.size / 3;
  service.SetFaults("--cut-after " + std::to_string(cut) + "*1");
  const fs::path target = o.work / "resume" / "big.pck";
  const std::atomic<bool> pause{false};
  const std::atomic<bool> stop{false};
  const auto first = tarn::DownloadFile(gParts.download, tarn::FileRequestPath(ListPath(big.listPath)), target.string(),
                                        big.md5, big.size, {pause, stop}, {});
  const uint64_t kept = fs::exists(target.string() + ".part") ? fs::file_size(target.string() + ".part") : 0;
  const auto second = tarn::DownloadFile(gParts.download, tarn::FileRequestPath(ListPath(big.listPath)), target.string(),
                                         big.md5, big.size, {pause, stop}, {});
  std::printf("\nresume of %s (%llu bytes): first call result %d, .part kept %llu bytes; second call result %d\n",
              big.listPath.c_str(), static_cast<unsigned long long>(big.size), static_cast<int>(first),
              static_cast<unsigned long long>(kept), static_cast<int>(second));
  std::printf("access log of the two requests:\n");
  // Only the requests for this file: anything else that reached the port
  // meanwhile is not part of the resume.
  std::vector<tarn::test::AccessEntry> log;
  for (const auto& e : service.AccessLog())
    if (e.target == tarn::FileRequestPath(ListPath(big.listPath))) log.push_back(e);
  uint64_t sent = 0;
  for (size_t i = log.size() >= 2 ? log.size() - 2 : 0; i < log.size(); ++i) {
    std::printf("  %s status %d range %s bytes %llu\n", log[i].method.c_str(), log[i].status, log[i].range.c_str(),
                static_cast<unsigned long long>(log[i].bytes));
    sent += log[i].bytes;
  }
  std::printf("  total sent %llu = file size %llu: %s\n", static_cast<unsigned long long>(sent),
              static_cast<unsigned long long>(big.size), sent == big.size ? "nothing sent twice" : "MISMATCH");
  if (second != tarn::DownloadResult::Ok || sent != big.size || Md5Hex(target) != big.md5) ok = false;

  StopProxy(proxy);
  service.Stop();
  if (!o.keep) fs::remove_all(o.work);
  std::printf("%s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}

// What a patch saves: a large incompressible pack beside small files,
// published by tarn-publish (block indexes included) and served by the
// reference service on the loopback; the launcher's downloader brings an
// old copy up to the next build, against the whole-file download of the
// same file. Not part of the test command at full size; see
// docs/performance.md.
//
//   tarn-patch-bench [--pack-mib=N] [--small-files=N] [--rounds=N] [--work=DIR]
//                    [--proxy=PATH-OF-tarn-delay-proxy --rtt-ms=N --mbit=N]
//
// With --proxy the launcher reaches the service through the delay proxy,
// a distant line's round trip and rate.
//
// Cases: (a) 1 MiB overwritten at an unaligned offset in the middle; (b)
// 1 MiB inserted at 10 MiB; (c) case (a) with the service ignoring ranges
// (as nginx does with max_ranges 0). For each: the bytes the service sent,
// its requests and the wall time, median of the rounds; then the CPU time
// of the local scan against md5sum of the same file.
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client/block_index.h"
#include "download/patch.h"
#include "download/request_path.h"
#include "download/session.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/output_file.h"
#include "support/http_server.h"
#include "support/service_fixture.h"
#include "support/service_launcher.h"
#include "wiring/launcher.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  uint64_t packMib = 64;
  uint64_t smallFiles = 20;
  int rounds = 3;
  fs::path work = fs::temp_directory_path() / "tarn-patch-bench";
  std::string proxy;
  std::string rttMs = "40";
  std::string mbit = "200";
};

bool Flag(const std::string& arg, const char* name, std::string& value) {
  const std::string prefix = std::string("--") + name + "=";
  if (arg.rfind(prefix, 0) != 0) return false;
  value = arg.substr(prefix.size());
  return true;
}

std::string Random(uint64_t size, uint64_t seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    std::memcpy(bytes.data() + i, &seed, 8);
  }
  return bytes;
}

void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Md5Hex(const fs::path& path) {
  std::string hex;
  return tarn::FileMd5Hex(path.string(), hex) ? hex : std::string();
}

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

template <typename T>
T Median(std::vector<T> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

tarn::Launcher gWhole;
tarn::LauncherContext& gLauncher = gWhole.context;

struct Round {
  double wall = 0;
  uint64_t bytes = 0;
  size_t requests = 0;
  bool right = false;
  bool patched = false;
};

// Brings target (holding old, or nothing) to the published pack.
Round Update(tarn::test::ServiceProcess& service, const fs::path& target, const std::string* old,
             const std::string& md5, uint64_t size) {
  fs::remove(target.string() + ".part");
  if (old) {
    // On the disk before the clock starts, so its write-back is not timed.
    Write(target, *old);
    (void)tarn::SyncFileToDisk(target.string());
  } else {
    fs::remove(target);
  }
  const size_t before = service.AccessLog().size();
  const std::atomic<bool> pause{false};
  const std::atomic<bool> stop{false};
  Round r;
  bool placed = false;
  const auto start = Clock::now();
  {
    tarn::DownloadSession session(gWhole.download,
                                  [&](const tarn::PlacedFile& p) { placed = p.result == tarn::DownloadResult::Ok; });
    tarn::FetchedFile fetched;
    const tarn::DownloadResult result = session.Fetch(tarn::FileRequestPath("packs\\big.pck", md5), target.string(),
                                                      md5, size, {pause, stop}, {}, true, fetched);
    r.patched = fetched.patched;
    if (result == tarn::DownloadResult::Ok) session.Place(std::move(fetched), 0);
    session.Drain();
  }
  r.wall = std::chrono::duration<double>(Clock::now() - start).count();
  const std::vector<tarn::test::AccessEntry> log = service.AccessLog();
  for (size_t i = before; i < log.size(); ++i) {
    r.bytes += log[i].bytes;
    ++r.requests;
  }
  r.right = placed && Md5Hex(target) == md5;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string v;
    const std::string arg = argv[i];
    if (Flag(arg, "pack-mib", v)) o.packMib = std::stoull(v);
    else if (Flag(arg, "small-files", v)) o.smallFiles = std::stoull(v);
    else if (Flag(arg, "rounds", v)) o.rounds = std::stoi(v);
    else if (Flag(arg, "work", v)) o.work = v;
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
  const fs::path target = o.work / "game" / "packs" / "big.pck";
  const uint64_t mib = 1u << 20;
  const std::string pack = Random(o.packMib * mib, 1);
  for (uint64_t i = 0; i < o.smallFiles; ++i)
    Write(site / "client" / "configs" / ("file" + std::to_string(i) + ".dat"), Random(16384, 100 + i));

  std::string overwritten = pack;
  const uint64_t middle = pack.size() / 2 + 12345;
  const std::string fresh = Random(mib, 7);
  overwritten.replace(middle, mib, fresh);
  std::string inserted = pack;
  inserted.insert(std::min<uint64_t>(10 * mib, pack.size() / 2), fresh);

  tarn::test::ServiceProcess service;
  if (!service.Start(site)) {
    std::fprintf(stderr, "cannot start the reference service: %s\n", service.error().c_str());
    return 1;
  }
  // The launcher's requests go to the service, or to the proxy in front of it.
  int port = service.port();
  pid_t proxy = -1;
  if (!o.proxy.empty()) {
    port = tarn::test::UnusedPort();
    const std::string listen = std::to_string(port);
    const std::string to = std::to_string(service.port());
    std::vector<std::string> args = {o.proxy, "--listen", listen, "--to", to, "--rtt-ms", o.rttMs, "--mbit", o.mbit};
    std::vector<char*> argvProxy;
    for (std::string& a : args) argvProxy.push_back(a.data());
    argvProxy.push_back(nullptr);
    if (posix_spawn(&proxy, o.proxy.c_str(), nullptr, nullptr, argvProxy.data(), environ) != 0) {
      std::fprintf(stderr, "cannot start %s\n", o.proxy.c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::printf("through the delay proxy: %s ms round trip, %s Mbit/s\n", o.rttMs.c_str(), o.mbit.c_str());
  }
  const tarn::test::LoopbackEndpoint endpoint(gLauncher, port);

  struct Case {
    const char* name;
    const std::string& next;
    const char* faults;
  };
  bool ok = true;
  int build = 3;
  std::printf("pack %llu MiB beside %llu files of 16 KiB; median of %d rounds; reference service on the loopback\n",
              static_cast<unsigned long long>(o.packMib), static_cast<unsigned long long>(o.smallFiles), o.rounds);
  std::printf("%-34s | %12s %8s %8s | %12s %8s %8s | %s\n", "case", "patch bytes", "requests", "wall s", "whole bytes",
              "requests", "wall s", "index bytes");
  for (const Case& c : {Case{"(a) 1 MiB overwritten mid-file", overwritten, ""},
                        Case{"(b) 1 MiB inserted at 10 MiB", inserted, ""},
                        Case{"(c) (a), ranges ignored", overwritten, "--ignore-range"}}) {
    Write(site / "client" / "packs" / "big.pck", c.next);
    if (!tarn::test::PublishSite(site, ++build)) {
      std::fprintf(stderr, "cannot publish build %d\n", build);
      return 1;
    }
    const std::string md5 = Md5Hex(site / "client" / "packs" / "big.pck");
    const uint64_t indexBytes = fs::file_size(site / "objects" / (md5 + ".blocks"));
    service.SetFaults(c.faults);
    std::vector<Round> patched, whole;
    for (int r = 0; r < o.rounds; ++r) {
      patched.push_back(Update(service, target, &pack, md5, c.next.size()));
      whole.push_back(Update(service, target, nullptr, md5, c.next.size()));
    }
    service.SetFaults("");
    for (const Round& r : patched) ok = ok && r.right;
    for (const Round& r : whole) ok = ok && r.right;
    const auto wall = [](const std::vector<Round>& v) {
      std::vector<double> w;
      for (const Round& r : v) w.push_back(r.wall);
      return Median(w);
    };
    std::printf("%-34s | %12llu %8zu %8.3f | %12llu %8zu %8.3f | %llu (%.3f %%)%s\n", c.name,
                static_cast<unsigned long long>(patched.back().bytes), patched.back().requests, wall(patched),
                static_cast<unsigned long long>(whole.back().bytes), whole.back().requests, wall(whole),
                static_cast<unsigned long long>(indexBytes), 100.0 * static_cast<double>(indexBytes) /
                                                                 static_cast<double>(c.next.size()),
                patched.back().patched ? "" : "  (whole-file road)");
  }

  // The scan alone against md5sum of the same file, both over a file in
  // the page cache.
  Write(target, pack);
  tarn::BlockIndex index;
  const std::string md5 = Md5Hex(site / "client" / "packs" / "big.pck");
  std::string bytes;
  tarn::ReadWholeFile((site / "objects" / (md5 + ".blocks")).string(), bytes);
  if (!tarn::ParseBlockIndex(bytes, index)) return 1;
  std::vector<double> scans, sums;
  for (int r = 0; r < std::max(3, o.rounds); ++r) {
    tarn::InputFile old;
    tarn::OpenInputFile(target.string(), old);
    const std::atomic<bool> stop{false};
    const double cpu = CpuSeconds(RUSAGE_SELF);
    const auto kept = tarn::FindKeptBlocks(index, old, stop);
    scans.push_back(CpuSeconds(RUSAGE_SELF) - cpu);
    ok = ok && kept.has_value();
    const double children = CpuSeconds(RUSAGE_CHILDREN);
    const std::string command = "md5sum '" + target.string() + "' > /dev/null";
    ok = ok && std::system(command.c_str()) == 0;
    sums.push_back(CpuSeconds(RUSAGE_CHILDREN) - children);
  }
  std::printf("scan of the old copy against the last build's index: %.3f s CPU; md5sum of it: %.3f s CPU (%.2fx)\n",
              Median(scans), Median(sums), Median(scans) / std::max(Median(sums), 1e-6));
  if (proxy > 0) {
    kill(proxy, SIGTERM);
    waitpid(proxy, nullptr, 0);
  }
  service.Stop();
  fs::remove_all(o.work);
  std::printf("%s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}

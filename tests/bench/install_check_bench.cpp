// The check phase of a resumed install: trusting the journal against hashing
// every file, both through the engine's own check over the same folder in one
// run. Not part of the test command at full size; see docs/performance.md.
//
//   tarn-install-check-bench [--files=N] [--kib=N] [--rounds=N] [--work=DIR] [--enforce=0|1]
//
// The folder is written once and then read from the page cache, the case in
// which hashing is cheapest, so the share measured for the journal is an
// upper bound. With --enforce=1 the program fails when the journal path
// costs more than 5 % of hashing.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bridge/context.h"
#include "bridge/host_slots.h"
#include "client/file_list.h"
#include "client/install_record.h"
#include "install/engine.h"
#include "support/temp_dir.h"
#include "tools/common/crypto.h"
#include "wiring/launcher.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  uint64_t files = 20000;
  uint64_t kib = 64;
  int rounds = 3;
  bool enforce = false;
  fs::path work = fs::temp_directory_path() / "tarn-install-check-bench";
};

bool Flag(const std::string& arg, const char* name, std::string& value) {
  const std::string prefix = std::string("--") + name + "=";
  if (arg.rfind(prefix, 0) != 0) return false;
  value = arg.substr(prefix.size());
  return true;
}

// A client of files in 100 folders, each file's bytes its own.
// The launcher the bench checks as: the program's one.
tarn::Launcher gParts;
tarn::LauncherContext& gLauncher = gParts.context;

tarn::FileList MakeClient(const fs::path& folder, const Options& o) {
  tarn::FileList list;
  list.sizesKnown = true;
  std::string bytes(o.kib * 1024, '\0');
  for (uint64_t i = 0; i < o.files; ++i) {
    uint64_t x = i * 0x9E3779B97F4A7C15ull + 1;
    for (size_t b = 0; b < bytes.size(); b += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      for (size_t k = 0; k < 8 && b + k < bytes.size(); ++k) bytes[b + k] = static_cast<char>(x >> (8 * k));
    }
    const std::string dir = "d" + std::to_string(i % 100);
    const std::string name = "f" + std::to_string(i) + ".pck";
    fs::create_directories(folder / dir);
    tarn::test::WriteFile(folder / dir / name, bytes);
    list.entries.push_back({tarn::tools::Md5Hex(bytes), bytes.size(), dir + "\\" + name});
    list.totalSize += bytes.size();
  }
  return list;
}

double CheckSeconds(const tarn::FileList& list, const std::string& folder, size_t& inPlace) {
  const auto start = Clock::now();
  tarn::TransferCounters counters;
  tarn::DownloadPlan plan;
  tarn::CheckInstalledFiles(gParts.install, list, folder, counters, plan);
  inPlace = static_cast<size_t>(counters.completedFiles);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string v;
    if (Flag(arg, "files", v)) o.files = std::strtoull(v.c_str(), nullptr, 10);
    else if (Flag(arg, "kib", v)) o.kib = std::strtoull(v.c_str(), nullptr, 10);
    else if (Flag(arg, "rounds", v)) o.rounds = std::max(1, std::atoi(v.c_str()));
    else if (Flag(arg, "enforce", v)) o.enforce = v == "1";
    else if (Flag(arg, "work", v)) o.work = v;
    else {
      std::fprintf(stderr, "unknown argument: %s\n", arg.c_str());
      return 2;
    }
  }
  fs::remove_all(o.work);
  const fs::path client = o.work / "client";
  tarn::InstallHostSlots(gLauncher,
                         {.post = {}, .open = {}, .pickFolder = {}, .dataFolder = (o.work / "data").string()});
  std::printf("writing %llu files of %llu KiB...\n", static_cast<unsigned long long>(o.files),
              static_cast<unsigned long long>(o.kib));
  const tarn::FileList list = MakeClient(client, o);

  std::vector<double> hashing, journal;
  size_t hashedInPlace = 0, trustedInPlace = 0;
  for (int r = 0; r < o.rounds; ++r) {
    // An empty journal for this folder: every file is hashed (and journalled).
    tarn::StartInstallJournal(gLauncher, client.string());
    hashing.push_back(CheckSeconds(list, client.string(), hashedInPlace));
    // The journal the hashing pass wrote: every file is trusted unread.
    journal.push_back(CheckSeconds(list, client.string(), trustedInPlace));
  }
  const double h = Median(hashing), j = Median(journal);
  const double share = j / h * 100;
  std::printf("files %llu x %llu KiB, rounds %d (medians)\n", static_cast<unsigned long long>(o.files),
              static_cast<unsigned long long>(o.kib), o.rounds);
  std::printf("hashing every file:   %8.3f s  (%zu in place)\n", h, hashedInPlace);
  std::printf("trusting the journal: %8.3f s  (%zu in place)\n", j, trustedInPlace);
  std::printf("journal / hashing:    %8.2f %%  (limit 5 %%)\n", share);
  fs::remove_all(o.work);
  const bool ok = hashedInPlace == list.entries.size() && trustedInPlace == list.entries.size();
  if (!ok) std::printf("FAILED: not every file was found in place\n");
  return !ok || (o.enforce && share > 5.0) ? 1 : 0;
}

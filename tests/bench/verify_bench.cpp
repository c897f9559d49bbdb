// Verification throughput: how fast the launcher hashes a whole client
// against its list, beside coreutils md5sum over the same files in the
// same run. Not part of the test command at full size; see
// docs/performance.md for how to run it.
//
//   tarn-verify-bench [--client-mib=N] [--client-dir=DIR] [benchmark flags]
//
// The client (large, medium and tiny files mixed) is made once in DIR and
// kept, so later runs start warm; every file is read once before timing.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "client/file_list.h"
#include "update/verify.h"

namespace {

namespace fs = std::filesystem;

struct Setup {
  uint64_t clientMib = 1024;
  fs::path dir;
  std::vector<tarn::FileEntry> entries;  // from md5sum, so both agree on the truth
  uint64_t bytes = 0;
};

// A wrong answer makes the run fail, so the smoke test in the suite
// catches it and no figure is ever taken from a broken verification.
bool g_failed = false;

Setup& TheSetup() {
  static Setup setup;
  return setup;
}

// The mix of a game client: a few pack archives hold most bytes, a few
// hundred medium files, and thousands of tiny configuration files.
struct Part {
  const char* folder;
  uint64_t count;
  uint64_t size;
};

std::vector<Part> Mix(uint64_t mib) {
  const uint64_t large = std::max<uint64_t>(1, mib * 13 / 16);  // archives of up to 64 MiB
  const uint64_t packMib = std::min<uint64_t>(64, large);
  const uint64_t medium = std::max<uint64_t>(1, mib - large);   // 1 MiB files
  return {{"packs", large / packMib, packMib << 20}, {"models", medium, 1ull << 20}, {"configs", mib * 4, 2048}};
}

void WriteRandomFile(const fs::path& path, uint64_t size, uint64_t& seed) {
  std::vector<uint64_t> block(1 << 17);  // 1 MiB
  std::ofstream out(path, std::ios::binary);
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

void MakeClient(Setup& s) {
  const fs::path stamp = s.dir / ".complete";
  std::ifstream in(stamp);
  uint64_t made = 0;
  if (in >> made && made == s.clientMib) return;
  fs::remove_all(s.dir);
  uint64_t seed = 0x9E3779B97F4A7C15ull;
  for (const Part& part : Mix(s.clientMib)) {
    fs::create_directories(s.dir / part.folder);
    for (uint64_t i = 0; i < part.count; ++i) {
      // Tiny files vary in size so that no two are alike.
      const uint64_t size = part.size < (1 << 20) ? part.size / 2 + (i * 37) % part.size : part.size;
      WriteRandomFile(s.dir / part.folder / ("f" + std::to_string(i) + ".bin"), size, seed);
    }
  }
  std::ofstream(stamp) << s.clientMib;
}

std::string Md5sumCommand(const fs::path& dir) {
  return "cd '" + dir.string() + "' && find . -type f ! -name .complete -print0 | sort -z | xargs -0 md5sum";
}

// Runs md5sum over the client; fills entries when asked.
bool RunMd5sum(const fs::path& dir, std::vector<tarn::FileEntry>* entries) {
  FILE* pipe = popen(Md5sumCommand(dir).c_str(), "r");
  if (!pipe) return false;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe)) {
    if (!entries) continue;
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.size() < 36) continue;
    tarn::FileEntry e;
    e.md5 = text.substr(0, 32);
    e.path = text.substr(36);  // after "  ./"
    for (char& c : e.path)
      if (c == '/') c = '\\';
    entries->push_back(std::move(e));
  }
  return pclose(pipe) == 0;
}

// User + system CPU seconds of this process or of its finished children.
// On a shared, busy machine wall time says more about the neighbours than
// about the work; CPU time per run compares the two contenders fairly.
double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  auto sec = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return sec(u.ru_utime) + sec(u.ru_stime);
}

void BM_VerifyClient(benchmark::State& state) {
  Setup& s = TheSetup();
  const double cpu = CpuSeconds(RUSAGE_SELF);
  for (auto _ : state) {
    size_t shown = 0;
    const auto bad = tarn::FindMismatches(s.dir.string(), s.entries, [&](size_t, size_t) { ++shown; });
    if (!bad.empty() || shown != s.entries.size()) {
      g_failed = true;
      state.SkipWithError("the launcher disagrees with md5sum");
      break;
    }
    benchmark::DoNotOptimize(shown);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.bytes));
  state.counters["files"] = static_cast<double>(s.entries.size());
  state.counters["cpu_s_per_run"] = (CpuSeconds(RUSAGE_SELF) - cpu) / static_cast<double>(state.iterations());
}

void BM_Md5sum(benchmark::State& state) {
  Setup& s = TheSetup();
  const double cpu = CpuSeconds(RUSAGE_CHILDREN);
  for (auto _ : state)
    if (!RunMd5sum(s.dir, nullptr)) {
      g_failed = true;
      state.SkipWithError("md5sum failed");
      break;
    }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.bytes));
  state.counters["files"] = static_cast<double>(s.entries.size());
  state.counters["cpu_s_per_run"] = (CpuSeconds(RUSAGE_CHILDREN) - cpu) / static_cast<double>(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
  Setup& s = TheSetup();
  s.dir = fs::temp_directory_path() / "tarn-verify-bench";
  std::vector<char*> rest = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--client-mib=", 0) == 0) {
      s.clientMib = std::strtoull(a.c_str() + 13, nullptr, 10);
    } else if (a.rfind("--client-dir=", 0) == 0) {
      s.dir = a.substr(13);
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (s.clientMib == 0) {
    std::fprintf(stderr, "tarn-verify-bench: --client-mib must be at least 1\n");
    return 2;
  }
  MakeClient(s);
  // The first md5sum pass reads every file, so both contenders start with
  // the client in the page cache; its sums become the list.
  if (!RunMd5sum(s.dir, &s.entries) || s.entries.empty()) {
    std::fprintf(stderr, "tarn-verify-bench: md5sum failed in %s\n", s.dir.string().c_str());
    return 1;
  }
  for (const auto& e : s.entries) {
    std::string native = e.path;
    for (char& c : native)
      if (c == '\\') c = '/';
    s.bytes += fs::file_size(s.dir / native);
  }
  std::fprintf(stderr, "client: %s, %zu files, %.1f MiB\n", s.dir.string().c_str(), s.entries.size(),
               static_cast<double>(s.bytes) / (1 << 20));

  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  benchmark::RegisterBenchmark("Verify/launcher", BM_VerifyClient)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("Verify/md5sum", BM_Md5sum)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return g_failed ? 1 : 0;
}

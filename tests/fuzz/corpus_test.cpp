// Every seed of every fuzz target's corpus, run once through its target: the
// inputs that once broke a parser keep it fixed in every build.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz_targets.h"
#include "support/temp_dir.h"

#define TARN_DECLARE(name) extern "C" int TarnFuzz_##name(const uint8_t* data, size_t size);
TARN_FUZZ_TARGETS(TARN_DECLARE)
#undef TARN_DECLARE

namespace tarn {
namespace {

namespace fs = std::filesystem;

int RunCorpus(const char* name, int (*target)(const uint8_t*, size_t)) {
  int files = 0;
  const fs::path folder = fs::path(TARN_FUZZ_CORPUS) / name;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    const std::string bytes = test::ReadFile(entry.path());
    SCOPED_TRACE(entry.path().string());
    target(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++files;
  }
  return files;
}

#define TARN_REPLAY(name) \
  TEST(FuzzCorpus, name) { EXPECT_GT(RunCorpus(#name, TarnFuzz_##name), 0) << "no seeds for " #name; }
TARN_FUZZ_TARGETS(TARN_REPLAY)
#undef TARN_REPLAY

}  // namespace
}  // namespace tarn

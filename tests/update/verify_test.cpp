// The comparison of an installed client against its list.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "update/verify.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

TEST(FindMismatches, ComparesChecksumsIgnoringCaseAndSize) {
  test::TempDir dir;
  test::WriteFile(dir.path() / "data" / "abc.txt", "abc");
  test::WriteFile(dir.path() / "empty", "");
  fs::create_directory(dir.path() / "folder");
  const std::vector<FileEntry> entries = {
      {"900150983CD24FB0D6963F7D28E17F72", 999, "data\\abc.txt"},  // upper case, wrong size: matches
      {"900150983cd24fb0d6963f7d28e17f72", 3, "empty"},            // wrong content
      {"d41d8cd98f00b204e9800998ecf8427e", 0, "missing"},
      {"d41d8cd98f00b204e9800998ecf8427e", 0, "folder"},           // unreadable
      {"d41d8cd98f00b204e9800998ecf8427e ", 0, "empty"},           // a checksum text that is not one
      {"d41d8cd98f00b204e9800998ecf8427e", 0, "empty"},
  };
  std::vector<size_t> done;
  const auto mismatches =
      FindMismatches(dir.str(), entries, [&](size_t d, size_t total) {
        EXPECT_EQ(total, entries.size());
        done.push_back(d);
      });
  EXPECT_EQ(mismatches, (std::vector<std::string>{"empty", "missing", "folder", "empty"}));
  EXPECT_EQ(done, (std::vector<size_t>{1, 2, 3, 4, 5, 6}));
}

}  // namespace
}  // namespace tarn

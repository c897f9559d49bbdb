// Patching a file from its old copy: the block index, the scan that finds
// kept blocks wherever they sit, and the downloader against a loopback
// server that answers ranges honestly or not at all.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "client/block_index.h"
#include "download/patch.h"
#include "download/request_path.h"
#include "download/session.h"
#include "support/http_server.h"
#include "support/temp_dir.h"
#include "tools/common/crypto.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::FileReply;
using test::Reply;
using test::ScriptedServer;
using test::SeenRequest;
using tools::Md5Hex;

std::string Bytes(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

BlockIndex IndexOf(const fs::path& file, const std::string& bytes) {
  BlockIndex index;
  EXPECT_TRUE(BuildBlockIndex(file.string(), bytes.size(), Md5Hex(bytes), index));
  return index;
}

// The bytes a patch of the file now at path would fetch to become bytes.
uint64_t Missing(const fs::path& dir, const std::string& oldBytes, const std::string& newBytes) {
  test::WriteFile(dir / "new", newBytes);
  test::WriteFile(dir / "old", oldBytes);
  const BlockIndex index = IndexOf(dir / "new", newBytes);
  InputFile old;
  EXPECT_TRUE(OpenInputFile((dir / "old").string(), old));
  const std::atomic<bool> stop{false};
  const auto kept = FindKeptBlocks(index, old, stop);
  EXPECT_TRUE(kept.has_value());
  return kept ? FetchedBytes(PlanPatch(index, *kept)) : UINT64_MAX;
}

TEST(BlockIndex, RoundTripsSmallAndRefusesWhatDoesNotFitItsFormat) {
  test::TempDir dir;
  const std::string bytes = Bytes((1u << 20) + 1234, 1);
  test::WriteFile(dir.path() / "pack", bytes);
  const BlockIndex index = IndexOf(dir.path() / "pack", bytes);
  const std::string written = WriteBlockIndex(index);
  EXPECT_LE(written.size() * 100, bytes.size());  // at most 1 % of its file
  EXPECT_LE(written.size(), MaxBlockIndexBytes(bytes.size()));
  BlockIndex read;
  ASSERT_TRUE(ParseBlockIndex(written, read));
  EXPECT_EQ(read.fileSize, bytes.size());
  EXPECT_EQ(read.md5, Md5Hex(bytes));
  EXPECT_EQ(read.blocks, index.blocks);
  EXPECT_EQ(BlockLength(read, read.blocks.size() - 1), 1234u);

  EXPECT_FALSE(ParseBlockIndex(written.substr(0, written.size() - 1), read));
  EXPECT_FALSE(ParseBlockIndex(written + "x", read));
  EXPECT_FALSE(ParseBlockIndex("X" + written.substr(1), read));
  std::string tinyBlocks = written;
  tinyBlocks[32] = 1;  // a block size of 1 byte and then some
  tinyBlocks[33] = tinyBlocks[34] = tinyBlocks[35] = 0;
  EXPECT_FALSE(ParseBlockIndex(tinyBlocks, read));
  // A file that is not the listed size is not indexed as if it were.
  EXPECT_FALSE(BuildBlockIndex((dir.path() / "pack").string(), bytes.size() - 1, Md5Hex(bytes), read));
  EXPECT_FALSE(BuildBlockIndex((dir.path() / "pack").string(), bytes.size() + 1, Md5Hex(bytes), read));
}

TEST(BlockIndex, TheRollingSumMovesAsAFreshOneIsComputed) {
  const std::string bytes = Bytes(70000, 2);
  constexpr size_t kWindow = 16384;
  WeakSum rolled = WeakSumOf(std::string_view(bytes).substr(0, kWindow));
  for (size_t at = 1; at + kWindow <= bytes.size(); ++at) {
    rolled.Roll(static_cast<unsigned char>(bytes[at - 1]), static_cast<unsigned char>(bytes[at + kWindow - 1]));
    if (at % 4099 == 0 || at + kWindow == bytes.size()) {
      ASSERT_EQ(rolled.value(), WeakSumOf(std::string_view(bytes).substr(at, kWindow)).value()) << at;
    }
  }
}

TEST(KeptBlocks, AreFoundWhereverTheOldCopyHoldsThem) {
  test::TempDir dir;
  const std::string fresh = Bytes(3'000'017, 3);
  const uint64_t block = BlockSizeFor(fresh.size());
  // The same file: nothing to fetch, the short last block included.
  EXPECT_EQ(Missing(dir.path(), fresh, fresh), 0u);
  // 100 000 bytes overwritten at an odd offset cost them and at most one
  // block on either side.
  std::string overwritten = fresh;
  for (size_t i = 1'234'567; i < 1'334'567; ++i) overwritten[i] = static_cast<char>(~overwritten[i]);
  EXPECT_LE(Missing(dir.path(), overwritten, fresh), 100'000 + 2 * block);
  // Data inserted into the new file shifts everything after it; the old
  // copy's blocks are found at their old places all the same.
  const std::string before = fresh.substr(0, 700'001) + fresh.substr(800'001);
  EXPECT_LE(Missing(dir.path(), before, fresh), 100'000 + 2 * block);
  // And data the new file dropped.
  const std::string longer = fresh.substr(0, 500'000) + Bytes(77'777, 4) + fresh.substr(500'000);
  EXPECT_LE(Missing(dir.path(), longer, fresh), 2 * block);
  // An unrelated file holds nothing.
  EXPECT_EQ(Missing(dir.path(), Bytes(fresh.size(), 5), fresh), fresh.size());
  // An old copy shorter than a block, or empty.
  EXPECT_EQ(Missing(dir.path(), "abc", fresh), fresh.size());
}

TEST(KeptBlocks, ThePlanJoinsNeighboursOfOneKind) {
  BlockIndex index;
  index.blockSize = 4096;
  index.fileSize = 5 * 4096 + 10;
  index.blocks.resize(6);
  const std::vector<int64_t> kept = {0, 4096, -1, -1, 100, 4196};
  const std::vector<PatchPiece> plan = PlanPatch(index, kept);
  ASSERT_EQ(plan.size(), 3u);
  EXPECT_EQ(plan[0].offset, 0u);
  EXPECT_EQ(plan[0].length, 8192u);
  EXPECT_EQ(plan[1].source, -1);
  EXPECT_EQ(plan[1].length, 8192u);
  EXPECT_EQ(plan[2].source, 100);
  EXPECT_EQ(plan[2].length, 4096u + 10u);
  EXPECT_EQ(FetchedBytes(plan), 8192u);
}

// A server of one file and its index, its answers bent as a test says.
class Patching : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_.path() / "game");
    test::WriteFile(dir_.path() / "published", fresh_);
    index_ = WriteBlockIndex(IndexOf(dir_.path() / "published", fresh_));
    old_ = fresh_;
    for (size_t i = 1'000'003; i < 1'060'003; ++i) old_[i] = static_cast<char>(i);
    test::WriteFile(target_, old_);
  }
  Reply Answer(const SeenRequest& r) {
    if (r.target.starts_with("/api/blocks?")) return indexReply_ ? indexReply_(r) : Reply(200, index_);
    if (rangeReply_ && r.hasRange && r.range.find('-') + 1 < r.range.size()) return rangeReply_(r);
    return FileReply(fresh_, r);
  }
  DownloadResult Get(FetchedFile& fetched) {
    DownloadSession session(launcher_.download, {});
    return session.Fetch(request_, target_.string(), Md5Hex(fresh_), fresh_.size(), {pause_, stop_}, {}, true,
                         fetched);
  }
  // Fetches, places and checks the file as an update would.
  void GetAndPlace(bool patchedExpected) {
    std::vector<PlacedFile> placed;
    DownloadSession session(launcher_.download, [&](const PlacedFile& p) { placed.push_back(p); });
    FetchedFile fetched;
    ASSERT_EQ(session.Fetch(request_, target_.string(), Md5Hex(fresh_), fresh_.size(), {pause_, stop_}, {}, true,
                            fetched),
              DownloadResult::Ok);
    EXPECT_EQ(fetched.patched, patchedExpected);
    session.Place(std::move(fetched), 0);
    session.Drain();
    ASSERT_EQ(placed.size(), 1u);
    EXPECT_EQ(placed[0].result, DownloadResult::Ok);
    EXPECT_TRUE(test::ReadFile(target_) == fresh_);
    EXPECT_FALSE(fs::exists(PartPath(target_.string())));
  }

  test::TempDir dir_;
  const std::string fresh_ = Bytes(2'500'000, 9);
  std::string old_;
  std::string index_;
  fs::path target_ = dir_.path() / "game" / "pack.pck";
  std::string request_ = FileRequestPath("pack.pck", Md5Hex(fresh_));
  std::function<Reply(const SeenRequest&)> indexReply_;
  std::function<Reply(const SeenRequest&)> rangeReply_;
  std::atomic<bool> pause_{false};
  std::atomic<bool> stop_{false};
  Launcher launcher_;
  LauncherContext& ctx_ = launcher_.context;
};

TEST_F(Patching, OnlyTheMissingRangesComeAndTheResultIsChecked) {
  ScriptedServer server(ctx_, [this](const SeenRequest& r) { return Answer(r); });
  ASSERT_NO_FATAL_FAILURE(GetAndPlace(true));
  const std::vector<SeenRequest> seen = server.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].target, BlockIndexRequestPath(request_));
  EXPECT_EQ(seen[1].target, request_);
  // One range over the changed bytes, block-aligned, at most a block more
  // on either side.
  EXPECT_EQ(seen[1].range, "bytes=999424-1064959");
  EXPECT_LT(server.bodyBytesSent(), index_.size() + 60'000 + 2 * 16384);

  // A file listed without its MD5 in the request, or too small for an
  // index, never asks for one.
  EXPECT_EQ(BlockIndexRequestPath(FileRequestPath("pack.pck")), "");
}

TEST_F(Patching, AnythingDoubtfulFallsBackToTheWholeFile) {
  const std::string otherIndex = WriteBlockIndex(IndexOf(target_, old_));  // true, of another file
  std::string lyingIndex = index_;  // names this file, describes the old one
  lyingIndex.replace(36, std::string::npos, otherIndex.substr(36));
  const struct {
    const char* why;
    std::function<Reply(const SeenRequest&)> index;
    std::function<Reply(const SeenRequest&)> range;
    bool rangeAnsweredWhole = false;  // the whole file came as the answer to a range
  } cases[] = {
      {"no index", [](const SeenRequest&) { return Reply(404, "no"); }, {}},
      {"malformed index", [&](const SeenRequest&) { return Reply(200, index_.substr(5)); }, {}},
      {"index of another file", [&](const SeenRequest&) { return Reply(200, otherIndex); }, {}},
      {"lying index", [&](const SeenRequest&) { return Reply(200, lyingIndex); }, {}},
      {"200 to a range", {}, [&](const SeenRequest&) { return Reply(200, fresh_); }, true},
      {"200 of another length", {}, [&](const SeenRequest&) { return Reply(200, fresh_ + "x"); }},
      {"old copy rewritten meanwhile", {},
       [&](const SeenRequest& r) {
         test::WriteFile(target_, Bytes(old_.size(), 12));
         return FileReply(fresh_, r);
       }},
      {"another Content-Range", {},
       [&](const SeenRequest& r) {
         Reply reply = FileReply(fresh_, r);
         reply.head = test::Head(206, static_cast<int64_t>(reply.body.size()),
                                 "Content-Range: bytes 0-" + std::to_string(reply.body.size() - 1) + "/" +
                                     std::to_string(fresh_.size()) + "\r\n");
         return reply;
       }},
      {"a longer body", {},
       [&](const SeenRequest& r) {
         Reply reply = FileReply(fresh_, r);
         reply.body += "extra";
         reply.head = test::Head(206, -1, "Content-Range: " + reply.head.substr(reply.head.find("bytes ")));
         return reply;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    test::WriteFile(target_, old_);
    indexReply_ = c.index;
    rangeReply_ = c.range;
    ScriptedServer server(ctx_, [this](const SeenRequest& r) { return Answer(r); });
    ASSERT_NO_FATAL_FAILURE(GetAndPlace(false));
    // The last request is the whole file's, from the start; or the range
    // that the whole file answered, then taken as it came.
    const std::vector<SeenRequest> seen = server.requests();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().target, request_);
    EXPECT_EQ(seen.back().hasRange, c.rangeAnsweredWhole);
    if (c.rangeAnsweredWhole) {
      EXPECT_EQ(seen.size(), 2u);
    }
  }
  // A whole answer that is not the listed file is Corrupt, as by the whole
  // road, and nothing is placed.
  test::WriteFile(target_, old_);
  rangeReply_ = [&](const SeenRequest&) { return Reply(200, old_); };
  ScriptedServer server(ctx_, [this](const SeenRequest& r) { return Answer(r); });
  FetchedFile fetched;
  EXPECT_EQ(Get(fetched), DownloadResult::Corrupt);
  EXPECT_EQ(test::ReadFile(target_), old_);
  EXPECT_FALSE(fs::exists(PartPath(target_.string())));
}

TEST_F(Patching, AnInterruptedPatchResumesWithoutFetchingAgain) {
  // Two changed stretches, so two ranges; the second breaks off midway.
  for (size_t i = 2'000'001; i < 2'100'001; ++i) old_[i] = static_cast<char>(i * 7);
  test::WriteFile(target_, old_);
  int ranges = 0;
  rangeReply_ = [&](const SeenRequest& r) {
    Reply reply = FileReply(fresh_, r);
    if (++ranges == 2) reply.cutAfter = 50'000;
    return reply;
  };
  {
    ScriptedServer server(ctx_, [this](const SeenRequest& r) { return Answer(r); });
    FetchedFile fetched;
    EXPECT_EQ(Get(fetched), DownloadResult::NetworkError);
    EXPECT_EQ(test::ReadFile(target_), old_);  // nothing placed yet
  }
  const uint64_t kept = fs::file_size(PartPath(target_.string()));
  EXPECT_GE(kept, 2'000'001u - 16384 + 50'000);
  // The next call asks only for what the ".part" file lacks.
  rangeReply_ = {};
  ScriptedServer server(ctx_, [this](const SeenRequest& r) { return Answer(r); });
  ASSERT_NO_FATAL_FAILURE(GetAndPlace(true));
  const std::vector<SeenRequest> seen = server.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].range, "bytes=" + std::to_string(kept) + "-2113535");

  // Killed between the last byte and the rename: the whole ".part" file is
  // checked and placed, and nothing is fetched but the index.
  test::WriteFile(target_, old_);
  test::WriteFile(PartPath(target_.string()), fresh_);
  ScriptedServer again(ctx_, [this](const SeenRequest& r) { return Answer(r); });
  ASSERT_NO_FATAL_FAILURE(GetAndPlace(true));
  EXPECT_EQ(again.requests().size(), 1u);

}

}  // namespace
}  // namespace tarn

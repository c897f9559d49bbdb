// The resumable downloader against a loopback server that answers exactly as
// each test says, on real files in a temporary folder.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "download/limiter.h"
#include "download/session.h"
#include "support/http_server.h"
#include "support/temp_dir.h"
#include "tools/common/crypto.h"
#include "wiring/launcher.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::FileReply;
using tools::Md5Hex;
using test::Head;
using test::Reply;
using test::ScriptedServer;
using test::SeenRequest;

std::string Bytes(size_t size, unsigned seed = 7) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

// Compares file contents without printing megabytes of bytes on failure.
::testing::AssertionResult Same(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << actual.size() << " bytes where " << expected.size()
                                       << " were expected; first difference at " << at;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

class Download : public ::testing::Test {
 protected:
  // A download into dir/sub/game.pck with the test's flags; every
  // progress value is recorded.
  DownloadResult Get(std::string_view md5, uint64_t size) {
    return DownloadFile(launcher.download, "/api/file?n=Z2FtZS5wY2s=", target_, md5, size, {pause_, stop_},
                        [this](uint64_t n) { progress_.push_back(n); });
  }
  DownloadResult Get(const std::string& file) { return Get(Md5Hex(file), file.size()); }

  std::string Target() const { return test::ReadFile(target_); }
  std::string Part() const { return test::ReadFile(part_); }
  bool HasPart() const { return fs::exists(part_); }
  void MakePart(const std::string& bytes) {
    fs::create_directories(fs::path(part_).parent_path());
    test::WriteFile(part_, bytes);
  }

  test::TempDir dir_;
  std::string target_ = (dir_.path() / "sub" / "game.pck").string();
  std::string part_ = target_ + ".part";
  std::atomic<bool> pause_{false};
  std::atomic<bool> stop_{false};
  std::vector<uint64_t> progress_;
  Launcher launcher;
  LauncherContext& ctx = launcher.context;
};

TEST_F(Download, FreshFileHasNoRangeHeaderAndLeavesNoPartFile) {
  const std::string file = Bytes(1'000'000);
  ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply(file, r); });
  ASSERT_TRUE(server.listening());

  // An upper-case checksum in the list still matches.
  EXPECT_EQ(Get(Upper(Md5Hex(file)), file.size()), DownloadResult::Ok);
  EXPECT_TRUE(Same(Target(), file));
  EXPECT_FALSE(HasPart());
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_FALSE(server.requests()[0].hasRange);
  EXPECT_EQ(server.requests()[0].target, "/api/file?n=Z2FtZS5wY2s=");
  ASSERT_FALSE(progress_.empty());
  EXPECT_EQ(progress_.back(), file.size());
}

TEST_F(Download, EmptyFileAndUnknownSizeWithoutChecksum) {
  {
    ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply("", r); });
    EXPECT_EQ(Get(Md5Hex(""), 0), DownloadResult::Ok);
    EXPECT_TRUE(fs::exists(target_));
    EXPECT_EQ(Target(), "");
  }
  // With neither size nor checksum, whatever a complete answer holds is taken.
  const std::string file = Bytes(5000);
  fs::remove(target_);
  ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply(file, r); });
  EXPECT_EQ(Get("", 0), DownloadResult::Ok);
  EXPECT_TRUE(Same(Target(), file));
}

TEST_F(Download, ResumesFromThePartFileAndCountsProgressFromIt) {
  const std::string file = Bytes(3'000'000);
  MakePart(file.substr(0, 1000));
  ScriptedServer server(ctx, [&](const SeenRequest& r) {
    Reply reply = FileReply(file, r);
    reply.pause = std::chrono::milliseconds(60);  // long enough for throttled progress calls
    reply.pieceBytes = 400'000;
    return reply;
  });

  EXPECT_EQ(Get(file), DownloadResult::Ok);
  EXPECT_TRUE(Same(Target(), file));
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].range, "bytes=1000-");
  EXPECT_EQ(server.bodyBytesSent(), file.size() - 1000);
  ASSERT_GE(progress_.size(), 2u);
  EXPECT_GT(progress_.front(), 1000u);
  EXPECT_TRUE(std::is_sorted(progress_.begin(), progress_.end()));
  EXPECT_EQ(progress_.back(), file.size());
}

TEST_F(Download, AServerIgnoringRangeStartsTheFileOver) {
  const std::string file = Bytes(200'000);
  MakePart(std::string(1000, 'x'));  // wrong bytes that a 200 must not keep
  ScriptedServer server(ctx, [&](const SeenRequest&) { return FileReply(file, SeenRequest{}); });
  EXPECT_EQ(Get(file), DownloadResult::Ok);
  EXPECT_TRUE(Same(Target(), file));
  EXPECT_EQ(server.requests()[0].range, "bytes=1000-");
}

TEST_F(Download, A206ThatDoesNotContinueAtTheOffsetIsRefusedAndThePartDropped) {
  const std::string file = Bytes(100'000);
  MakePart(file.substr(0, 1000));
  const std::vector<std::string> wrongHeads = {
      // Starts at 0 though 1000 was asked for.
      Head(206, 100'000, "Content-Range: bytes 0-99999/100000\r\n"),
      // No Content-Range at all.
      Head(206, 99'000),
  };
  for (const std::string& head : wrongHeads) {
    MakePart(file.substr(0, 1000));
    ScriptedServer server(ctx, [&](const SeenRequest&) {
      Reply reply;
      reply.head = head;
      reply.body = file.substr(0, 99'000);
      return reply;
    });
    EXPECT_EQ(Get(file), DownloadResult::NetworkError) << head;
    EXPECT_FALSE(HasPart()) << head;
    EXPECT_FALSE(fs::exists(target_));
  }
  // So the next attempt starts from nothing.
  ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply(file, r); });
  EXPECT_EQ(Get(file), DownloadResult::Ok);
  EXPECT_FALSE(server.requests()[0].hasRange);
  EXPECT_TRUE(Same(Target(), file));
}

TEST_F(Download, A416ForACompletePartFilePlacesItWithoutTransfer) {
  const std::string file = Bytes(50'000);
  MakePart(file);
  ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply(file, r); });
  EXPECT_EQ(Get(file), DownloadResult::Ok);
  EXPECT_TRUE(Same(Target(), file));
  EXPECT_EQ(server.requests()[0].range, "bytes=50000-");
  EXPECT_EQ(server.bodyBytesSent(), 0u);
  EXPECT_TRUE(progress_.empty());
}

TEST_F(Download, A416ThatCannotFinishTheFileIsCorruptEvenWithoutAChecksum) {
  const std::string file = Bytes(50'000);
  MakePart(file.substr(0, 20'000));
  // The server's copy is shorter than the list says.
  ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply(file.substr(0, 20'000), r); });
  EXPECT_EQ(Get("", file.size()), DownloadResult::Corrupt);
  EXPECT_FALSE(fs::exists(target_));
  EXPECT_FALSE(HasPart());
}

TEST_F(Download, APartFileLongerThanTheFileIsDroppedBeforeAsking) {
  const std::string file = Bytes(10'000);
  MakePart(Bytes(20'000, 3));
  ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply(file, r); });
  EXPECT_EQ(Get(file), DownloadResult::Ok);
  EXPECT_FALSE(server.requests()[0].hasRange);
  EXPECT_TRUE(Same(Target(), file));
}

TEST_F(Download, ABodyCutShortKeepsWhatArrivedAndTheNextCallResumes) {
  const std::string file = Bytes(800'000);
  int call = 0;
  ScriptedServer server(ctx, [&](const SeenRequest& r) {
    Reply reply = FileReply(file, r);
    if (call++ == 0) reply.cutAfter = 300'000;
    return reply;
  });
  EXPECT_EQ(Get(file), DownloadResult::NetworkError);
  EXPECT_TRUE(Same(Part(), file.substr(0, 300'000)));
  EXPECT_FALSE(fs::exists(target_));
  EXPECT_EQ(progress_.back(), 300'000u);

  EXPECT_EQ(Get(file), DownloadResult::Ok);
  EXPECT_EQ(server.requests()[1].range, "bytes=300000-");
  EXPECT_EQ(server.bodyBytesSent(), file.size());  // nothing was sent twice
  EXPECT_TRUE(Same(Target(), file));

  // With the size unknown the cut still shows: the answer announced more.
  fs::remove(target_);
  call = 0;
  EXPECT_EQ(Get(Md5Hex(file), 0), DownloadResult::NetworkError);
  EXPECT_TRUE(HasPart());
}

TEST_F(Download, AChecksumMismatchDropsThePartAndKeepsTheOldTarget) {
  const std::string file = Bytes(100'000);
  fs::create_directories(fs::path(target_).parent_path());
  test::WriteFile(target_, "old content");
  std::string damaged = file;
  damaged[5000] ^= 1;
  ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply(damaged, r); });
  EXPECT_EQ(Get(file), DownloadResult::Corrupt);
  EXPECT_FALSE(HasPart());
  EXPECT_EQ(Target(), "old content");
}

TEST_F(Download, AReadOnlyTargetIsReplaced) {
  const std::string file = Bytes(10'000);
  fs::create_directories(fs::path(target_).parent_path());
  test::WriteFile(target_, "old");
  fs::permissions(target_, fs::perms::owner_read);
  ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply(file, r); });
  EXPECT_EQ(Get(file), DownloadResult::Ok);
  EXPECT_TRUE(Same(Target(), file));
}

TEST_F(Download, StopBeforeTheCallTouchesNothing) {
  ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply("x", r); });
  stop_ = true;
  EXPECT_EQ(Get("x"), DownloadResult::Stopped);
  EXPECT_FALSE(fs::exists(fs::path(target_).parent_path()));
  EXPECT_TRUE(server.requests().empty());
  EXPECT_TRUE(progress_.empty());
}

TEST_F(Download, PauseAndStopDuringATransferKeepThePartForLater) {
  const std::string file = Bytes(2'000'000);
  for (std::atomic<bool>* flag : {&pause_, &stop_}) {
    pause_ = false;
    stop_ = false;
    progress_.clear();
    ScriptedServer server(ctx, [&](const SeenRequest& r) {
      Reply reply = FileReply(file, r);
      reply.pieceBytes = 100'000;
      reply.pause = std::chrono::milliseconds(20);
      reply.afterPiece = [&](uint64_t sent) {
        if (sent >= 500'000) *flag = true;
      };
      return reply;
    });
    const DownloadResult expected = flag == &pause_ ? DownloadResult::Paused : DownloadResult::Stopped;
    EXPECT_EQ(Get(file), expected);
    const uint64_t kept = fs::file_size(part_);
    EXPECT_GE(kept, 400'000u);
    EXPECT_LT(kept, file.size());
    EXPECT_TRUE(Same(Part(), file.substr(0, kept)));
    ASSERT_FALSE(progress_.empty());
    EXPECT_EQ(progress_.back(), kept);
  }
  // Stopped at the start of the second round, the part file kept growing
  // from the first; clearing the flags lets it finish.
  pause_ = false;
  stop_ = false;
  ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply(file, r); });
  EXPECT_EQ(Get(file), DownloadResult::Ok);
  EXPECT_TRUE(Same(Target(), file));
}

TEST_F(Download, APauseIsSeenWhileTheServerIsSilent) {
  const std::string file = Bytes(300'000);
  ScriptedServer server(ctx, [&](const SeenRequest& r) {
    Reply reply = FileReply(file, r);
    reply.pieceBytes = 100'000;
    reply.pause = std::chrono::milliseconds(4000);
    reply.afterPiece = [&](uint64_t) { pause_ = true; };
    return reply;
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Get(file), DownloadResult::Paused);
  // Well before the server's next piece, let alone the 60 s stall limit.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3500));
  // Whatever of the first piece had arrived when the pause was seen is kept,
  // and nothing else.
  const std::string part = Part();
  EXPECT_LE(part.size(), 100'000u);
  EXPECT_TRUE(Same(part, file.substr(0, part.size())));
}

TEST_F(Download, RefusedStatusesKeepThePartFile) {
  const std::string file = Bytes(10'000);
  for (const std::string& head : std::vector<std::string>{Head(404, 0), Head(500, 5), Head(302, 0, "Location: /elsewhere\r\n")}) {
    MakePart(file.substr(0, 100));
    ScriptedServer server(ctx, [&](const SeenRequest&) {
      Reply reply;
      reply.head = head;
      reply.body = head.find("500") != std::string::npos ? "oops!" : "";
      return reply;
    });
    EXPECT_EQ(Get(file), DownloadResult::ServerRefused) << head;
    EXPECT_TRUE(Same(Part(), file.substr(0, 100)));
  }
  // A status line that is not HTTP at all.
  ScriptedServer server(ctx, [&](const SeenRequest&) {
    Reply reply;
    reply.head = "SPDY/9 what\r\n";
    return reply;
  });
  EXPECT_EQ(Get(file), DownloadResult::ServerRefused);
  EXPECT_TRUE(Same(Part(), file.substr(0, 100)));
}

TEST_F(Download, NoServerIsANetworkError) {
  EXPECT_EQ(Get("abc"), DownloadResult::NetworkError);
  EXPECT_FALSE(fs::exists(target_));
}

TEST_F(Download, EndlessDataNeverGrowsPastTheExpectedSize) {
  const std::string file = Bytes(100'000);
  ScriptedServer server(ctx, [&](const SeenRequest&) {
    Reply reply;
    reply.head = Head(200, -1);  // no length: the body ends when the server closes
    reply.body = file;
    reply.endless = true;
    reply.pieceBytes = 30'000;
    return reply;
  });
  EXPECT_EQ(Get(file), DownloadResult::Corrupt);
  EXPECT_FALSE(HasPart());
  EXPECT_FALSE(fs::exists(target_));
  for (uint64_t n : progress_) EXPECT_LE(n, file.size());
}

TEST_F(Download, AListedSizeOfZeroMeansNoBytesAtAll) {
  // The list carries sizes, and this file's is 0: one byte more is a wrong
  // file, and an endless body must not fill the disk.
  {
    ScriptedServer server(ctx, [&](const SeenRequest&) {
      Reply reply;
      reply.head = Head(200, -1);
      reply.body = Bytes(50'000);
      reply.endless = true;
      return reply;
    });
    EXPECT_EQ(DownloadFile(launcher.download, "/api/file?n=eA==", target_, "", 0, {pause_, stop_}, {}, true),
              DownloadResult::Corrupt);
    EXPECT_FALSE(HasPart());
    EXPECT_FALSE(fs::exists(target_));
    EXPECT_LT(server.bodyBytesSent(), 64u << 20);
  }
  ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply("", r); });
  EXPECT_EQ(DownloadFile(launcher.download, "/api/file?n=eA==", target_, "", 0, {pause_, stop_}, {}, true), DownloadResult::Ok);
  EXPECT_EQ(fs::file_size(target_), 0u);
}

TEST_F(Download, NothingIsWrittenThroughALinkAndNoLinkTakesTheTargetsPlace) {
  const std::string file = Bytes(200'000);
  ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply(file, r); });
  fs::create_directories(fs::path(part_).parent_path());
  const fs::path outside = dir_.path() / "outside";
  // A ".part" that points at a complete copy elsewhere: trusting it would
  // resume (or, after a 416, move the link itself) into the target's place.
  test::WriteFile(outside, file);
  fs::create_symlink(outside, part_);
  EXPECT_EQ(Get(file), DownloadResult::Ok);
  EXPECT_TRUE(Same(Target(), file));
  EXPECT_FALSE(fs::is_symlink(target_));
  EXPECT_TRUE(Same(test::ReadFile(outside), file));
  EXPECT_FALSE(server.requests().back().hasRange);

  // One that points at a file of somebody else's: it is left as it was.
  fs::remove(target_);
  test::WriteFile(outside, "precious");
  fs::create_symlink(outside, part_);
  EXPECT_EQ(Get(file), DownloadResult::Ok);
  EXPECT_EQ(test::ReadFile(outside), "precious");
  EXPECT_TRUE(Same(Target(), file));

  // A dangling one would otherwise create its file outside the folder.
  fs::remove(target_);
  const fs::path nowhere = dir_.path() / "made-outside";
  fs::create_symlink(nowhere, part_);
  EXPECT_EQ(Get(file), DownloadResult::Ok);
  EXPECT_FALSE(fs::exists(nowhere));
  EXPECT_FALSE(fs::is_symlink(target_));
  EXPECT_FALSE(HasPart());
}

TEST_F(Download, AFolderThatCannotBeMadeIsAWriteError) {
  test::WriteFile(dir_.path() / "sub", "a file where the folder should be");
  ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply("x", r); });
  EXPECT_EQ(Get("x"), DownloadResult::WriteError);
  EXPECT_TRUE(server.requests().empty());
}

// A small file system of its own, so that the disk really runs full.
class SmallDisk {
 public:
  explicit SmallDisk(const fs::path& at) : at_(at) {
    fs::create_directories(at_);
    mounted_ = mount("tmpfs", at_.c_str(), "tmpfs", 0, "size=256k") == 0;
    if (!mounted_) why_ = std::strerror(errno);
  }
  ~SmallDisk() {
    if (mounted_) umount2(at_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }

 private:
  fs::path at_;
  bool mounted_ = false;
  std::string why_;
};

TEST_F(Download, AFullDiskIsDiskFullAndNothingIsPlaced) {
  SmallDisk disk(dir_.path() / "small");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here (" << disk.why() << "); needs CAP_SYS_ADMIN";
  const std::string file = Bytes(1'000'000);
  const std::string target = (dir_.path() / "small" / "client" / "big.pck").string();
  ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply(file, r); });
  EXPECT_EQ(DownloadFile(launcher.download, "/api/file?n=x", target, Md5Hex(file), file.size(), {pause_, stop_}, {}),
            DownloadResult::DiskFull);
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(DownloadResultText(DownloadResult::DiskFull),
            "На диске закончилось место. Освободите его и нажмите «Продолжить».");
}

// A session: one kept connection for every file, the transfer of the next
// file while the last one is still being flushed, and each file reported
// only once its data was flushed and its name given, in download order.
TEST_F(Download, ASessionFlushesBeforeRenamingReportsInOrderAndKeepsItsConnection) {
  const std::vector<std::string> files = {Bytes(300'000, 1), Bytes(5'000'000, 2), Bytes(10, 3)};
  ScriptedServer server(ctx, [&](const SeenRequest& r) {
    Reply reply = FileReply(files.at(static_cast<size_t>(r.target.back() - '0')), r);
    reply.keepOpen = true;
    return reply;
  });
  const auto target = [&](size_t i) { return (dir_.path() / ("f" + std::to_string(i))).string(); };

  std::mutex lock;
  std::condition_variable released;
  bool release = false;
  std::vector<std::string> steps;  // guarded by lock
  DownloadSession session(
      launcher.download,
      [&](const PlacedFile& placed) {
        // The caller hears of a file only once it is whole under its name.
        EXPECT_TRUE(Same(test::ReadFile(target(placed.tag)), files[placed.tag]));
        EXPECT_FALSE(fs::exists(target(placed.tag) + ".part"));
        std::lock_guard guard(lock);
        steps.push_back("placed " + std::to_string(placed.tag) + " " + std::to_string(static_cast<int>(placed.result)));
      },
      [&](const std::string& part) {
        const std::string name = part.substr(0, part.size() - 5);
        EXPECT_TRUE(fs::exists(part));
        EXPECT_FALSE(fs::exists(name)) << "renamed before its flush";
        std::unique_lock guard(lock);
        steps.push_back("flush " + name.substr(name.size() - 1));
        // The first flush is held until every transfer is done.
        released.wait(guard, [&] { return release; });
      });
  for (size_t i = 0; i < files.size(); ++i)
    EXPECT_EQ(session.Download("/f" + std::to_string(i), target(i), Md5Hex(files[i]), files[i].size(),
                               {pause_, stop_}, {}, true, i),
              DownloadResult::Ok);
  {
    std::lock_guard guard(lock);
    EXPECT_EQ(steps, std::vector<std::string>{"flush 0"});
    release = true;
  }
  released.notify_all();
  session.Drain();
  // Reports reach the caller when it next looks, so only each file's own
  // order and the order of the reports are fixed.
  std::vector<std::string> reports;
  for (const std::string& step : steps)
    if (step.starts_with("placed")) reports.push_back(step);
  EXPECT_EQ(reports, (std::vector<std::string>{"placed 0 0", "placed 1 0", "placed 2 0"}));
  for (char i : {'0', '1', '2'}) {
    const auto flushed = std::find(steps.begin(), steps.end(), std::string("flush ") + i);
    EXPECT_LT(flushed, std::find(steps.begin(), steps.end(), std::string("placed ") + i + " 0"));
  }
  EXPECT_EQ(server.requests().size(), 3u);
  EXPECT_EQ(server.connections(), 1);
}

// A kept connection is only as good as the framing of the last answer on
// it: bytes past a Content-Length (or any answer that says it has no body
// and then sends one) would be read as the head of the next answer.
TEST_F(Download, AnAnswerLongerThanItSaidIsNotFollowedOnItsConnection) {
  const std::vector<std::string> files = {Bytes(1000, 1), Bytes(200'000, 2), Bytes(10, 3), Bytes(30, 4)};
  const std::string junk = "junk past the announced length\r\n\r\n";
  ScriptedServer server(ctx, [&](const SeenRequest& r) {
    const size_t i = static_cast<size_t>(r.target.back() - '0');
    Reply reply = FileReply(files.at(i), r);
    reply.keepOpen = true;
    if (i == 0 || i == 2) reply.body += junk;  // a small and a large file follow one such answer each
    return reply;
  });
  DownloadSession session(launcher.download, [](const PlacedFile&) {});
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string target = (dir_.path() / ("f" + std::to_string(i))).string();
    EXPECT_EQ(session.Download("/f" + std::to_string(i), target, Md5Hex(files[i]), files[i].size(), {pause_, stop_},
                               {}, true, i),
              DownloadResult::Ok)
        << i;
  }
  session.Drain();
  EXPECT_EQ(server.requests().size(), 4u);
  EXPECT_EQ(server.connections(), 3);  // a fresh one after each answer that ran long
}

// Small files travel through memory: the companion makes, writes, flushes
// and renames them in batches. A failure there comes late, through the
// report; a small transfer cut by a stop still keeps every byte it got.
TEST_F(Download, ASessionWritesSmallFilesLaterKeepsACutOneAndReportsALateWriteFailure) {
  constexpr size_t kFiles = 40;
  std::vector<std::string> files;
  for (size_t i = 0; i < kFiles; ++i) files.push_back(Bytes(1'000 + i * 2'500, static_cast<unsigned>(i)));
  const std::string cut = Bytes(100'000, 99);
  std::atomic<bool> stopSent{false};
  ScriptedServer server(ctx, [&](const SeenRequest& r) {
    const size_t n = std::stoul(r.target.substr(2));
    Reply reply = FileReply(n < kFiles ? files[n] : cut, r);
    reply.keepOpen = true;
    if (n == kFiles && !r.hasRange) {
      reply.pieceBytes = 20'000;
      reply.pause = std::chrono::milliseconds(20);
      // Once: a piece sent after the stop landed must not stop the resume.
      reply.afterPiece = [&](uint64_t sent) {
        if (sent >= 60'000 && !stopSent.exchange(true)) stop_ = true;
      };
    }
    return reply;
  });
  const auto target = [&](size_t i) { return (dir_.path() / "s" / ("f" + std::to_string(i))).string(); };
  fs::create_directories(target(7) + ".part");  // nothing can take this name

  std::vector<std::pair<size_t, DownloadResult>> reports;
  {
    DownloadSession session(launcher.download, [&](const PlacedFile& placed) { reports.emplace_back(placed.tag, placed.result); });
    for (size_t i = 0; i < kFiles; ++i)
      EXPECT_EQ(session.Download("/f" + std::to_string(i), target(i), Md5Hex(files[i]), files[i].size(),
                                 {pause_, stop_}, {}, true, i),
                DownloadResult::Ok);
    EXPECT_EQ(session.Download("/f" + std::to_string(kFiles), target(kFiles), Md5Hex(cut), cut.size(),
                               {pause_, stop_}, {}, true, kFiles),
              DownloadResult::Stopped);
    const std::string kept = test::ReadFile(target(kFiles) + ".part");
    EXPECT_GE(kept.size(), 40'000u);  // what had landed when the stop came
    EXPECT_LT(kept.size(), cut.size());
    EXPECT_TRUE(Same(kept, cut.substr(0, kept.size())));
    stop_ = false;
    EXPECT_EQ(session.Download("/f" + std::to_string(kFiles), target(kFiles), Md5Hex(cut), cut.size(),
                               {pause_, stop_}, {}, true, kFiles),
              DownloadResult::Ok);
    EXPECT_EQ(server.requests().back().range, "bytes=" + std::to_string(kept.size()) + "-");
    session.Drain();
  }
  ASSERT_EQ(reports.size(), kFiles + 1);
  for (size_t i = 0; i <= kFiles; ++i) {
    EXPECT_EQ(reports[i].first, i);
    EXPECT_EQ(reports[i].second, i == 7 ? DownloadResult::WriteError : DownloadResult::Ok) << i;
    if (i == 7) continue;
    EXPECT_TRUE(Same(test::ReadFile(target(i)), i < kFiles ? files[i] : cut)) << i;
    EXPECT_FALSE(fs::exists(target(i) + ".part")) << i;
  }
  EXPECT_FALSE(fs::exists(target(7)));
  EXPECT_EQ(server.connections(), 2);  // the stop ended the first one mid-body
}

// The checksum covers what an earlier call kept, not just what arrives now:
// a ".part" file with a wrong start is caught though every new byte is
// right, and a right start resumes a file large enough to be hashed on a
// thread of its own.
TEST_F(Download, AResumedPartIsHashedWholeWithTheStream) {
  const std::string file = Bytes(6'000'000);
  ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply(file, r); });
  std::string wrong = file.substr(0, 1'000'000);
  wrong[500] ^= 1;
  MakePart(wrong);
  EXPECT_EQ(Get(file), DownloadResult::Corrupt);
  EXPECT_FALSE(HasPart());
  EXPECT_FALSE(fs::exists(target_));

  MakePart(file.substr(0, 1'000'000));
  EXPECT_EQ(Get(file), DownloadResult::Ok);
  EXPECT_TRUE(Same(Target(), file));
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[1].range, "bytes=1000000-");
}

TEST(EnsureParentDirs, CreatesEveryLevelAndTellsWhetherTheFolderIsThere) {
  test::TempDir dir;
  const fs::path file = dir.path() / "a" / "b" / "c.txt";
  EXPECT_TRUE(EnsureParentDirs(file.string()));
  EXPECT_TRUE(fs::is_directory(dir.path() / "a" / "b"));
  EXPECT_TRUE(EnsureParentDirs(file.string()));  // existing folders are fine
  EXPECT_TRUE(EnsureParentDirs("c.txt"));
  EXPECT_TRUE(EnsureParentDirs(""));

  test::WriteFile(dir.path() / "plain", "");
  EXPECT_FALSE(EnsureParentDirs((dir.path() / "plain" / "x" / "c.txt").string()));
}

TEST(DownloadResultText, UnknownCodesHaveTheirOwnText) {
  EXPECT_EQ(DownloadResultText(DownloadResult::Ok), "Готово");
  EXPECT_EQ(DownloadResultText(static_cast<DownloadResult>(8)), "Неизвестная ошибка");
  EXPECT_EQ(DownloadResultText(static_cast<DownloadResult>(-1)), "Неизвестная ошибка");
}


// Several files at once through one session: the caller takes them in list
// order whatever order they came in, on more than one kept connection and
// never more than sixteen, and a target listed twice is never fetched by
// two transfers at once; the later entry's bytes are the ones that stay.
TEST_F(Download, WorkersFetchOnSeveralConnectionsAndTheCallerTakesTheFilesInOrder) {
  constexpr size_t kFiles = 60;
  std::vector<std::string> files;
  std::vector<std::string> targets;
  for (size_t i = 0; i < kFiles; ++i) {
    files.push_back(Bytes(i % 7 == 0 ? 400'000 : 2'000 + i * 300, static_cast<unsigned>(i)));
    // Entries 20 and 21, and 40 and 45, name the same file.
    const size_t name = i == 21 ? 20 : i == 45 ? 40 : i;
    targets.push_back((dir_.path() / "c" / ("f" + std::to_string(name))).string());
  }
  std::mutex lock;
  size_t active = 0, most = 0;     // guarded by lock
  std::vector<int> perTarget(kFiles, 0);
  bool overlapped = false;         // guarded by lock
  ScriptedServer server(ctx, [&](const SeenRequest& r) {
    const size_t n = std::stoul(r.target.substr(2));
    const size_t name = n == 21 ? 20 : n == 45 ? 40 : n;
    {
      std::lock_guard guard(lock);
      most = std::max(most, ++active);
      overlapped = overlapped || ++perTarget[name] > 1;
    }
    Reply reply = FileReply(files[n], r);
    reply.keepOpen = true;
    reply.delay = std::chrono::milliseconds(15);  // a round trip's worth
    reply.afterPiece = [&, name, size = files[n].size()](uint64_t sent) {
      if (sent < size) return;
      std::lock_guard guard(lock);
      --active;
      --perTarget[name];
    };
    return reply;
  });
  std::vector<size_t> placed;
  DownloadSession session(launcher.download, [&](const PlacedFile& p) {
    EXPECT_EQ(p.result, DownloadResult::Ok);
    placed.push_back(p.tag);
  });
  std::vector<FetchedFile> fetched(kFiles);
  std::vector<DownloadResult> results(kFiles, DownloadResult::Corrupt);
  std::vector<size_t> taken;
  {
    FetchWorkers workers(
        kFiles, 64, [&](size_t i) -> const std::string& { return targets[i]; },
        [&](size_t i, FetchWorkers&) {
          results[i] = session.Fetch("/f" + std::to_string(i), targets[i], Md5Hex(files[i]), files[i].size(),
                                     {pause_, stop_}, {}, true, fetched[i]);
          return results[i] == DownloadResult::Ok;
        });
    size_t i = 0;
    while (workers.Next(i, [&] { session.Poll(); })) {
      taken.push_back(i);
      EXPECT_EQ(results[i], DownloadResult::Ok) << i;
      session.Place(std::move(fetched[i]), i);
    }
  }
  session.Drain();
  std::vector<size_t> order(kFiles);
  for (size_t i = 0; i < kFiles; ++i) order[i] = i;
  EXPECT_EQ(taken, order);
  EXPECT_EQ(placed, order);
  for (size_t i = 0; i < kFiles; ++i) {
    if (i != 20 && i != 40) {
      EXPECT_TRUE(Same(test::ReadFile(targets[i]), files[i])) << i;
    }
  }
  EXPECT_FALSE(overlapped) << "one target fetched by two transfers at once";
  EXPECT_GE(server.connections(), 2);
  EXPECT_LE(server.connections(), 16);
  EXPECT_GE(most, 2u);
  EXPECT_LE(most, 16u);
}

// Every worker starts on a file at once: a file waits a round trip for its
// answer, and a worker idle for it is a round trip lost per round.
TEST(FetchWorkersStart, AllWorkersTakeAFileAtOnce) {
  std::mutex lock;
  std::condition_variable changed;
  size_t running = 0;                    // guarded by lock
  bool together = false, alone = false;  // guarded by lock
  std::vector<std::string> targets(64);
  for (size_t k = 0; k < targets.size(); ++k) targets[k] = std::to_string(k);
  FetchWorkers workers(
      targets.size(), 16, [&](size_t k) -> const std::string& { return targets[k]; },
      [&](size_t, FetchWorkers&) {
        std::unique_lock guard(lock);
        if (++running >= 16) together = true;
        changed.notify_all();
        if (!changed.wait_for(guard, std::chrono::seconds(2), [&] { return together; })) alone = true;
        --running;
        return true;
      });
  size_t i = 0, taken = 0;
  while (workers.Next(i, {})) ++taken;
  EXPECT_EQ(taken, targets.size());
  EXPECT_FALSE(alone) << "a file ran while workers sat idle";
}

// A worker whose attempt failed asks for fewer transfers at once; after a
// halt nothing new starts, and the files already running still come to the
// caller in order.
TEST_F(Download, WorkersGoEasierAfterFailuresAndAHaltLetsTheRunningOnesFinish) {
  std::mutex lock;
  size_t active = 0, mostLate = 0;  // guarded by lock
  size_t served = 0;                // guarded by lock
  ScriptedServer server(ctx, [&](const SeenRequest&) {
    std::lock_guard guard(lock);
    ++served;
    ++active;
    if (served > 40) mostLate = std::max(mostLate, active);
    Reply reply(served <= 16 ? 503 : 200, "x");
    reply.delay = std::chrono::milliseconds(10);
    reply.afterPiece = [&](uint64_t) {
      std::lock_guard g(lock);
      --active;
    };
    return reply;
  });
  std::vector<char> came(200, 0);
  std::vector<size_t> taken;
  FetchWorkers workers(
      200, 16, [](size_t) -> const std::string& { static const std::string none; return none; },
      [&](size_t i, FetchWorkers& self) {
        const std::string target = (dir_.path() / ("g" + std::to_string(i))).string();
        const bool ok = DownloadFile(launcher.download, "/g", target, "", 1, {pause_, stop_}, {}, true) == DownloadResult::Ok;
        if (!ok) self.Shrink();
        came[i] = ok;
        return ok;
      });
  size_t i = 0;
  while (workers.Next(i, {})) {
    taken.push_back(i);
    if (taken.size() == 60) workers.Halt();
  }
  // Sixteen refusals halved the transfers down to one; they grow back by
  // one per file, so the next files still go few at a time.
  EXPECT_LE(mostLate, 8u);
  ASSERT_GE(taken.size(), 60u);
  EXPECT_LE(taken.size(), 60u + FetchWorkers::kWindow);
  for (size_t k = 0; k < taken.size(); ++k) EXPECT_EQ(taken[k], k);
}

// The player's limit: the bucket's sums on a made-up clock, then two real
// transfers at once sharing it, and a pause that ends a throttled transfer
// within its usual time without a burst at full speed.
TEST(SpeedLimit, TheBucketKeepsEveryWindowWithinItsRateAndFollowsAChange) {
  using Clock = TokenBucket::Clock;
  TokenBucket bucket;
  Clock::time_point now{};
  EXPECT_EQ(bucket.Take(1u << 30, now), Clock::duration::zero()) << "no limit, no wait";
  for (const uint64_t rate : {1ull << 20, 5ull << 20, 20ull << 20}) {
    bucket.SetRate(rate, now);
    // Four takers, each taking a 64 KiB piece whenever its wait is over.
    std::vector<Clock::time_point> free(4, now);
    const Clock::time_point start = now;
    uint64_t taken = 0;
    while (now < start + std::chrono::seconds(10)) {
      const size_t who = static_cast<size_t>(std::min_element(free.begin(), free.end()) - free.begin());
      now = std::max(now, free[who]);
      free[who] = now + bucket.Take(64 << 10, now);
      taken += 64 << 10;
    }
    const double perSecond = static_cast<double>(taken) / 10.0;
    EXPECT_NEAR(perSecond, static_cast<double>(rate), 0.05 * static_cast<double>(rate)) << rate;
    now = *std::max_element(free.begin(), free.end());
  }
  // A new limit is in force within a second, whatever debt the old one left.
  bucket.SetRate(1 << 20, now);
  bucket.Take(100u << 20, now);
  bucket.SetRate(50u << 20, now);
  EXPECT_LE(bucket.Owed(now), std::chrono::seconds(1));
  bucket.SetRate(0, now);
  EXPECT_EQ(bucket.Owed(now), Clock::duration::zero());

  uint64_t kibps = 7;
  for (const char* bad : {"-1", "1.5", "12a", " 1", "4194305", "99999999", "+3"}) EXPECT_FALSE(ParseKibps(bad, kibps)) << bad;
  EXPECT_EQ(kibps, 7u);
  for (const auto& [text, value] : {std::pair{"", 0ull}, {"0", 0ull}, {"0040", 40ull}, {"4194304", 4194304ull}}) {
    EXPECT_TRUE(ParseKibps(text, kibps)) << text;
    EXPECT_EQ(kibps, value) << text;
  }
}

TEST_F(Download, TwoTransfersShareTheLimitAndAPausedOneStaysUnderItUntilItEnds) {
  const std::string file = Bytes(3u << 20);
  ScriptedServer server(ctx, [&](const SeenRequest& r) { return FileReply(file, r); });
  SetDownloadLimit(launcher.download, 4u << 20);
  const auto begin = std::chrono::steady_clock::now();
  std::vector<DownloadResult> results(2, DownloadResult::Corrupt);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < 2; ++i)
    threads.emplace_back([&, i] {
      results[i] = DownloadFile(launcher.download, "/x", (dir_.path() / ("t" + std::to_string(i))).string(), Md5Hex(file),
                                file.size(), {pause_, stop_}, {});
    });
  for (std::thread& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_EQ(results, std::vector<DownloadResult>(2, DownloadResult::Ok));
  // 6 MiB at 4 MiB/s, less the quarter second that may gather: at least
  // 1.25 s whatever the machine; the upper bound only catches a stuck wait.
  EXPECT_GE(seconds, 1.2);
  EXPECT_LT(seconds, 20.0);

  SetDownloadLimit(launcher.download, 64u << 10);
  std::thread pauser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pause_ = true;
  });
  const auto paused = std::chrono::steady_clock::now();
  EXPECT_EQ(Get(file), DownloadResult::Paused);
  pauser.join();
  EXPECT_LT(std::chrono::steady_clock::now() - paused, std::chrono::seconds(3));
  // While the pause waits for a quiet moment the limit still holds: about
  // two seconds at 64 KiB/s, not what loopback would bring unhindered.
  EXPECT_LT(fs::file_size(part_), 1u << 20);
  SetDownloadLimit(launcher.download, 0);
}

}  // namespace
}  // namespace tarn

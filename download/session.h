#pragma once
// The resumable downloader: one file of the game client from the service
// into its place on disk, through a ".part" file beside the target that a
// later call continues with a range request. The caller decides about
// retries and messages; this only reports what happened.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bridge/context.h"
#include "download/fetch_workers.h"
#include "download/limiter.h"
#include "download/result.h"
#include "platform/output_file.h"

namespace tarn {

// The caller's pause and stop requests. They are read at the start of the
// call and while the transfer runs; a request takes effect at the first quiet
// moment after the data in flight has landed in the ".part" file (so a resume
// asks for no byte the server already sent), and within 1.5 s on a stream
// that never goes quiet.
struct DownloadFlags {
  const std::atomic<bool>& pause;
  const std::atomic<bool>& stop;
};

// Receives the number of bytes of the target held so far, counting what an
// earlier ".part" file already held; at most one call per 200 ms during a
// transfer, and one more when the transfer ends. Runs on the downloading
// thread. May be empty.
using ProgressCallback = std::function<void(uint64_t receivedBytes)>;

// The ".part" file that holds the first bytes of targetPath while it
// downloads.
std::string PartPath(const std::string& targetPath);

// Bytes targetPath's ".part" file already holds towards a file of the
// listed size (0: unknown); 0 for one longer than that, which the
// downloader throws away.
uint64_t PartBytesHeld(const std::string& targetPath, uint64_t size);

// Fetches requestPath (path and query on the service) into targetPath.
// expectedMd5 empty skips the checksum test. expectedSize 0 means the size is
// unknown, unless sizeKnown says the list carries sizes: then it is exact,
// 0 included, and a single byte more is Corrupt (an endless body never
// fills the disk). The ".part" file survives every result but Ok and
// Corrupt, so the next call continues where this one ended. Two calls for
// the same target must not run at once.
DownloadResult DownloadFile(DownloadContext& ctx, const std::string& requestPath, const std::string& targetPath,
                            std::string_view expectedMd5, uint64_t expectedSize, DownloadFlags flags,
                            const ProgressCallback& progress, bool sizeKnown = false);

// A file a worker received and checked, for a DownloadSession to place:
// the ".part" file (open while this call wrote it), or a small file's
// bytes not yet written anywhere.
struct FetchedFile {
  std::string target;
  OutputFile file;
  std::string bytes;
  bool inMemory = false;
  // After ServerRefused: the seconds the service asked to wait before the
  // next try (its Retry-After); -1 when it named none.
  int64_t retryAfterSeconds = -1;
  // The bytes the service sent for this file in this call, and whether
  // they were a patch's index and ranges rather than the file whole.
  uint64_t movedBytes = 0;
  bool patched = false;
};

// What a DownloadSession tells of a file once it is done with it.
struct PlacedFile {
  size_t tag = 0;  // the caller's tag from DownloadSession::Download
  // Ok: the data is on the disk and the file has the target's name.
  // WriteError or DiskFull: writing a small file's ".part" file, its flush
  // or the rename failed; what is in the ".part" file stays for the next
  // call to continue.
  DownloadResult result = DownloadResult::Ok;
};
using PlacedCallback = std::function<void(const PlacedFile&)>;
// Runs on the flushing thread just before a finished ".part" file's data
// is forced to the disk; may be empty. A test uses it to watch the order of
// the steps or to hold the flush back.
using BeforeFlush = std::function<void(const std::string& partPath)>;

// The downloads of one task, one file after another, with the work on the
// disk taken off the critical path. Download returns as soon as a file's
// bytes match the checksum: a large file's are in its ".part" file, a
// small one's (up to 128 KiB) still in memory. A companion thread writes
// the small ones into their ".part" files at once, forces the data to the
// disk while the next files arrive (small files a few at a time, with one
// flush), and only after that gives each ".part" file the target's name. placed hears of
// every file Download returned Ok for, once its rename is done (or its flush
// failed), in the order the files were downloaded, always on the caller's
// thread: from Download (before and after its transfer), Poll and Drain.
// So a caller that records finished files from placed never records one
// whose name sits on data not yet on the disk. One thread uses a session;
// the transfers reuse that thread's kept connection.
class DownloadSession {
 public:
  DownloadSession(DownloadContext& ctx, PlacedCallback placed, BeforeFlush beforeFlush = {});
  // Finishes every flush and rename still running, without reporting them
  // any more: the caller may already be gone. Call Drain first to hear them.
  ~DownloadSession();
  DownloadSession(const DownloadSession&) = delete;
  DownloadSession& operator=(const DownloadSession&) = delete;

  // DownloadFile's transfer and check, with its arguments and results, but
  // Ok means "received and checked": the file is placed later and reported
  // with tag. A target still waiting for its flush is finished first.
  DownloadResult Download(const std::string& requestPath, const std::string& targetPath, std::string_view expectedMd5,
                          uint64_t expectedSize, DownloadFlags flags, const ProgressCallback& progress,
                          bool sizeKnown, size_t tag);
  // For several connections at once: Download's transfer and check alone,
  // for any thread (each thread keeps a connection of its own). Waits first
  // while the target is still being placed. Ok leaves in fetched what Place
  // needs; reports nothing.
  DownloadResult Fetch(const std::string& requestPath, const std::string& targetPath, std::string_view expectedMd5,
                       uint64_t expectedSize, DownloadFlags flags, const ProgressCallback& progress, bool sizeKnown,
                       FetchedFile& fetched);
  // On the session's thread: hands a fetched file over to be placed and
  // reported with tag, as Download does with its own.
  void Place(FetchedFile fetched, size_t tag);
  // Reports the files placed so far without waiting.
  void Poll();
  // Waits until every file handed over is placed or has failed, and
  // reports them.
  void Drain();

 private:
  struct Pending {
    size_t tag = 0;
    std::string part;
    std::string target;
    // Open on the ".part" file the transfer wrote; closed for one an
    // earlier call completed, and for a small body still in bytes.
    OutputFile file;
    std::string bytes;
    bool inMemory = false;  // the ".part" file is yet to be written from bytes
    DownloadResult result = DownloadResult::Ok;
  };
  // Small files wait this long at most, or until this many files or bytes
  // are queued, before one flush takes them all.
  static constexpr size_t kGatherFiles = 32;
  static constexpr size_t kGatherBytes = 8u << 20;
  static constexpr std::chrono::milliseconds kGatherTime{20};

  void HandOver(Pending pending);
  void HandOver(FetchedFile fetched, size_t tag);
  void FlushLoop();
  static void WritePending(Pending& pending);
  void FlushAndPlace(std::deque<Pending>& batch) const;
  void WaitUntil(const std::function<bool()>& ready);

  DownloadContext& ctx_;
  PlacedCallback placed_;
  BeforeFlush beforeFlush_;
  std::mutex lock_;
  std::condition_variable work_;      // the companion has something to do
  std::condition_variable progress_;  // a file was placed
  std::deque<Pending> queued_;        // guarded by lock_
  std::deque<PlacedFile> done_;       // guarded by lock_
  std::vector<std::string> targets_;  // guarded by lock_: handed over, not yet reported
  size_t busy_ = 0;                   // guarded by lock_: queued or being flushed
  size_t memoryHeld_ = 0;             // guarded by lock_: bytes of small bodies handed over, not yet written
  size_t hurry_ = 0;                  // guarded by lock_: callers waiting for the companion
  bool quit_ = false;                 // guarded by lock_
  std::thread companion_;
};

// Creates every missing folder on the way to the folder that holds filePath.
// True when that folder exists afterwards, and for a bare file name.
bool EnsureParentDirs(const std::string& filePath);
// The same, DiskFull when the last folder could not be made for want of room.
WriteResult MakeParentFolders(const std::string& filePath);

}  // namespace tarn

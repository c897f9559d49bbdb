#pragma once
// The resumable downloader: one file of the game client from the service
// into its place on disk, through a ".part" file beside the target that a
// later call continues with a range request. The caller decides about
// retries and messages; this only reports what happened.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tarn {

// Fixed values: the install engine stores and compares them.
enum class DownloadResult : int {
  Ok = 0,             // complete, checked and in place
  Paused = 1,         // the pause request was seen; the ".part" file keeps what arrived
  Stopped = 2,        // the stop request was seen
  NetworkError = 3,   // no connection, a broken one, or less than expected
  ServerRefused = 4,  // an answer other than 200, 206 or 416
  WriteError = 5,     // a folder, the ".part" file or the target could not be written
  DiskFull = 6,
  Corrupt = 7,        // the finished file is wrong; its ".part" file is gone
};

// What the head of the service's answer means for a transfer that
// continues a ".part" file of offset bytes; rangeFirst is the first byte
// the answer's Content-Range names, -1 without one.
enum class DownloadHead {
  Body,                // 200 (the whole file, from the start) or a 206 that continues at offset
  NothingAfterOffset,  // 416: the ".part" file already holds everything
  Refused,             // any other status
  WrongRange,          // a 206 that continues elsewhere: its bytes would be spliced in wrongly
};
DownloadHead JudgeDownloadHead(uint32_t status, int64_t rangeFirst, uint64_t offset);

// The player's text for a result; "Неизвестная ошибка" for any other value.
std::string DownloadResultText(DownloadResult code);

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

// Fetches requestPath (path and query on the service) into targetPath.
// expectedMd5 empty skips the checksum test. expectedSize 0 means the size is
// unknown, unless sizeKnown says the list carries sizes: then it is exact,
// 0 included, and a single byte more is Corrupt (an endless body never
// fills the disk). The ".part" file survives every result but Ok and
// Corrupt, so the next call continues where this one ended. Two calls for
// the same target must not run at once.
DownloadResult DownloadFile(const std::string& requestPath, const std::string& targetPath,
                            std::string_view expectedMd5, uint64_t expectedSize, DownloadFlags flags,
                            const ProgressCallback& progress, bool sizeKnown = false);

// Creates every missing folder on the way to the folder that holds filePath.
// True when that folder exists afterwards, and for a bare file name.
bool EnsureParentDirs(const std::string& filePath);

}  // namespace tarn

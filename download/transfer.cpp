#include "download/transfer.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "bridge/host_slots.h"
#include "client/file_list.h"
#include "download/fetch_workers.h"
#include "download/hash_pipe.h"
#include "download/limiter.h"
#include "download/patch.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/http.h"
#include "platform/output_file.h"
#include "service/call.h"

namespace tarn {
namespace {

// The downloader waits longer than HttpCall: a large file may sit behind a
// slow disk on the server. Send and receive become one stall limit, the
// longer of the two, because a GET sends nothing worth timing separately.
constexpr int kResolveMs = 10000;
constexpr int kConnectMs = 15000;
constexpr int kReceiveMs = 60000;
constexpr size_t kReadBufferBytes = 262144;
constexpr auto kProgressInterval = std::chrono::milliseconds(200);

using Clock = std::chrono::steady_clock;
// The longest a pause or stop waits for a quiet moment in a transfer that
// keeps streaming.
constexpr auto kRequestGrace = std::chrono::milliseconds(1500);

// How the service answered the request.
enum class Answer {
  None,                // no usable answer arrived
  Body,                // 200 or an acceptable 206: the body goes into the ".part" file
  NothingAfterOffset,  // 416: the ".part" file already holds everything
  Refused,             // any other status
  WrongRange,          // a 206 that does not continue where the ".part" file ends
};

// How much of a large file may wait in memory before the disk is asked to
// start on it.
constexpr uint64_t kWriteOutBytes = 8u << 20;

// A transfer hashes on a thread of its own once it has brought this much:
// below it a thread costs more than it saves.
constexpr uint64_t kPipeAfterBytes = 4u << 20;

// A whole small file is received into memory and written by the
// companion, which makes the ".part" file, flushes it and renames it in a
// batch with others: creating a file costs a search for a free inode that
// would otherwise sit between two requests on the same connection.
// The body in memory is what a killed launcher loses and fetches again, so
// it stays small.
constexpr uint64_t kMemoryFileBytes = 128u << 10;

// The receive window of a file's connection under the limit (0: none), for
// as many connections as a task may open.
size_t WindowUnder(uint64_t limit) {
  return ReceiveWindowUnderLimit(limit, ConnectionsUnderLimit(limit, FetchWorkers::kMaxWorkers));
}

struct Transfer {
  Transfer(DownloadContext& c, DownloadFlags f, const ProgressCallback& p, std::optional<uint64_t> size,
           std::string partPath, std::string targetPath, uint64_t from, bool check, std::string* keep)
      : ctx(c),
        flags(f),
        progress(p),
        expectedSize(size),
        part(std::move(partPath)),
        target(std::move(targetPath)),
        offset(from),
        memory(keep) {
    if (check) hash.emplace();
    // A new file known to be large hashes beside the transfer from its
    // first byte (a resumed one hashes its kept bytes first, on this thread).
    if (hash && from == 0 && size && *size >= kPipeAfterBytes) StartPipe();
  }

  DownloadContext& ctx;
  DownloadFlags flags;
  const ProgressCallback& progress;
  std::optional<uint64_t> expectedSize;  // none when the list does not say
  std::string part;
  std::string target;
  uint64_t offset;
  std::string* memory;     // may hold a small body instead of the ".part" file; null: never
  bool inMemory = false;   // the body goes to *memory

  // The checksum grows with the bytes as they arrive, so the finished
  // file is never read back; none when there is nothing to compare with.
  std::optional<Md5Stream> hash;
  std::unique_ptr<HashPipe> pipe;  // takes over from hash on a large transfer
  uint64_t received = 0;           // bytes of this transfer
  uint64_t writtenOutTo = 0;       // the disk was asked to write the ".part" file up to here
  Answer answer = Answer::None;
  int64_t retryAfter = -1;  // a refusal's Retry-After
  std::optional<DownloadResult> ended;  // set when the transfer is ended from here
  OutputFile file;
  Clock::time_point lastProgress;
  bool dataSinceIdle = false;
  std::optional<Clock::time_point> requestedSince;  // when a pause or stop was first seen
  size_t window = 0;            // the receive window the connection was made with
  uint64_t limitSeen = DownloadLimit(ctx);
  bool rewindow = false;        // ended to go on under another window

  // The limit changed so that the connection's window no longer fits it.
  // A window only ever fits the limit it was made for: a smaller one holds
  // a raised limit back, and a larger one keeps filling ahead of a lowered
  // limit, with reads so large that the progress stands for seconds.
  bool WindowOutgrown() {
    const uint64_t limit = DownloadLimit(ctx);
    if (limit == limitSeen) return false;
    limitSeen = limit;
    return WindowUnder(limit) != window;
  }

  std::optional<DownloadResult> Requested() const {
    if (flags.stop.load()) return DownloadResult::Stopped;
    if (flags.pause.load()) return DownloadResult::Paused;
    return std::nullopt;
  }

  bool OnHead(const HttpHead& head) {
    switch (JudgeDownloadHead(head.status, head.rangeFirst, offset)) {
      case DownloadHead::NothingAfterOffset:
        answer = Answer::NothingAfterOffset;
        return false;
      case DownloadHead::WrongRange:
        answer = Answer::WrongRange;
        return false;
      case DownloadHead::Refused:
        answer = Answer::Refused;
        if (AsksToWait(head.status, head.retryAfterSeconds)) retryAfter = head.retryAfterSeconds;
        return false;
      case DownloadHead::Body:
        break;
    }
    if (head.status == 200) offset = 0;  // the whole file comes, so any earlier ".part" file is void
    answer = Answer::Body;
    lastProgress = Clock::now();
    if (memory && offset == 0 && expectedSize && *expectedSize <= kMemoryFileBytes) {
      inMemory = true;
      memory->clear();
      memory->reserve(static_cast<size_t>(*expectedSize));
      return true;
    }
    if (const WriteResult opened = OpenOutputFile(part, offset, file); !opened.ok()) {
      ended = WriteFailure(opened);
      return false;
    }
    // What an earlier call kept is hashed once, here; a prefix that cannot
    // be read spoils the sum, and the file ends up Corrupt and fetched anew.
    if (hash && offset > 0) hash->UpdateFromFile(part, offset);
    writtenOutTo = offset;
    return true;
  }

  bool OnData(std::string_view bytes) {
    // Bytes past the known size mean the file is not the one listed, and a
    // server that never stops would otherwise fill the disk.
    if (expectedSize && bytes.size() > *expectedSize - offset) {
      ended = DownloadResult::Corrupt;
      return false;
    }
    const WriteResult written = inMemory ? (memory->append(bytes), WriteResult()) : WriteOutputFile(file, bytes);
    if (!written.ok()) {
      ended = WriteFailure(written);
      return false;
    }
    Hash(bytes);
    offset += bytes.size();
    // The bytes are in before the limit's wait for them: shown at once.
    if (progress) {
      const Clock::time_point now = Clock::now();
      if (now - lastProgress >= kProgressInterval) {
        lastProgress = now;
        progress(offset);
      }
    }
    if ((!expectedSize || offset < *expectedSize) && WindowOutgrown()) {
      rewindow = true;
      return false;
    }
    // The player's limit holds the next read back, also while a pause or
    // stop waits for a quiet moment (reading on at full speed then would
    // pull in everything the server queued); once that wait is over, the
    // request ends the transfer below.
    ThrottleReceived(ctx, bytes.size(), [this] {
      if (!Requested()) return false;
      if (!requestedSince) requestedSince = Clock::now();
      return Clock::now() - *requestedSince >= kRequestGrace;
    });
    // The disk starts on a large file while it arrives, so the flush that
    // follows it waits only for the tail.
    if (!inMemory && offset - writtenOutTo >= kWriteOutBytes) {
      StartWritingOut(file, writtenOutTo, offset - writtenOutTo);
      writtenOutTo = offset;
    }
    // Bytes the server has sent are worth keeping: a resume would ask for
    // them again. So a pause or stop lets the burst in flight land and takes
    // effect in the quiet after it; only a stream that never pauses is cut
    // here, once the request has waited long enough.
    dataSinceIdle = true;
    const std::optional<DownloadResult> request = Requested();
    if (!request) return true;
    const Clock::time_point now = Clock::now();
    if (!requestedSince) requestedSince = now;
    if (now - *requestedSince < kRequestGrace) return true;
    ended = request;
    return false;
  }

  // Polled between network events; no data since the last poll means the
  // server's last burst has landed whole.
  bool OnIdle() {
    const std::optional<DownloadResult> request = Requested();
    const bool quiet = !dataSinceIdle;
    dataSinceIdle = false;
    if (!request) return true;
    const Clock::time_point now = Clock::now();
    if (!requestedSince) requestedSince = now;
    if (!quiet && now - *requestedSince < kRequestGrace) return true;
    ended = request;
    return false;
  }

  // Closes the ".part" file after a transfer that did not bring the whole
  // file, its data on the disk unless the file is about to be thrown away:
  // the next call resumes from it.
  void Finish() {
    if (inMemory && ended != DownloadResult::Corrupt && !memory->empty()) {
      // What arrived was sent once and is kept like any ".part" file.
      const WriteResult kept = WriteWholePart(target, *memory, file);
      if (!ended && !kept.ok()) ended = WriteFailure(kept);
    }
    if (!file.isOpen()) return;
    if (ended == DownloadResult::Corrupt) {
      file = OutputFile();
    } else {
      const WriteResult committed = CommitOutputFile(file);
      if (!ended && !committed.ok()) ended = WriteFailure(committed);
    }
    if (progress) progress(offset);
  }

  void Hash(std::string_view bytes) {
    received += bytes.size();
    if (pipe) {
      pipe->Feed(bytes);
    } else if (hash) {
      hash->Update(bytes);
      if (received >= kPipeAfterBytes) StartPipe();
    }
  }

  void StartPipe() {
    pipe = std::make_unique<HashPipe>(std::move(*hash));
    hash.reset();
  }


  // Whether the sum of everything now in the ".part" file is expectedMd5.
  bool Matches(std::string_view expectedMd5) {
    Md5Digest digest{};
    if (pipe) {
      if (!pipe->Finish(digest)) return false;
    } else if (!hash) {
      return true;
    } else if (!hash->Finish(digest)) {
      return false;
    }
    return SameChecksum(Md5DigestHex(digest), expectedMd5);
  }
};

// Where a transfer continues: the end of the ".part" file an earlier call
// left, or the start when there is none or it is longer than the file.
uint64_t ResumeOffset(const std::string& part, const std::optional<uint64_t>& size) {
  uint64_t offset = FileSize(part).value_or(0);
  if (size && offset > *size) {
    RemoveFile(part);
    offset = 0;
  }
  return offset;
}

}  // namespace

// The request for requestPath from offset on.
HttpRequest FileRequest(DownloadContext& ctx, const std::string& requestPath, const std::optional<uint64_t>& size,
                        uint64_t offset) {
  const ServiceEndpoint endpoint = ServiceEndpointInUse(ctx);
  HttpRequest request;
  request.host = endpoint.host;
  request.port = endpoint.port;
  request.secure = endpoint.secure;
  request.target = requestPath;
  request.rangeFrom = offset;
  request.userAgent = std::string(ServiceUserAgent);
  request.timeouts = {.resolveMs = kResolveMs, .connectMs = kConnectMs, .sendMs = kReceiveMs, .receiveMs = kReceiveMs};
  // The next file of a task goes out on the connection this one leaves
  // open, without a new handshake or slow start.
  request.keepConnection = true;
  request.proxy = ServiceProxy(ctx, endpoint);
  // A large receive buffer pays for itself only on a large file; each
  // transfer sets its own, and a small file keeps the library's default.
  request.bufferBytes = size && *size - offset < kReadBufferBytes ? 0 : kReadBufferBytes;
  // Under a limit the connection holds little unread, and each read takes
  // no more than that: a read's wait for the limit stays short, so the
  // progress keeps moving and a pause is heard soon.
  request.receiveWindowBytes = WindowUnder(DownloadLimit(ctx));
  if (request.receiveWindowBytes > 0) request.bufferBytes = request.receiveWindowBytes;
  return request;
}

namespace {

// Sends request with t taking the answer in.
HttpEnd RunTransfer(Transfer& t, const HttpRequest& request) {
  const HttpResult result = SendHttpRequest(request, HttpSink{
                                                         .head = [&t](const HttpHead& h) { return t.OnHead(h); },
                                                         .body = [&t](std::string_view b) { return t.OnData(b); },
                                                         .idle = [&t] { return t.OnIdle(); },
                                                     });
  LogRefusal(t.ctx, ServiceEndpointInUse(t.ctx), result);
  const HttpEnd end = result.end;
  // A whole body stays open for the flush that follows; anything less is
  // closed here, on the disk, for the next call to resume.
  const bool whole = !t.ended && end == HttpEnd::Complete && t.answer == Answer::Body &&
                     (t.file.isOpen() || t.inMemory) && (!t.expectedSize || t.offset >= *t.expectedSize);
  if (whole) {
    if (t.progress) t.progress(t.offset);
  } else {
    t.Finish();
  }
  return end;
}

// What the answer and the end of the transfer come to before the checksum:
// none when the bytes are all there for it.
std::optional<DownloadResult> JudgeEnd(Transfer& t, HttpEnd end, const std::optional<uint64_t>& size,
                                       const std::string& part) {
  switch (t.answer) {
    case Answer::Refused:
      return DownloadResult::ServerRefused;
    case Answer::WrongRange:
      RemoveFile(part);
      return DownloadResult::NetworkError;
    default:
      break;
  }
  if (t.ended) {
    if (*t.ended == DownloadResult::Corrupt) RemoveFile(part);
    return *t.ended;
  }
  if (end == HttpEnd::BadReply) return DownloadResult::ServerRefused;
  if (end != HttpEnd::Complete && t.answer != Answer::NothingAfterOffset) return DownloadResult::NetworkError;

  if (t.answer == Answer::NothingAfterOffset) {
    if (!FileSize(part)) return DownloadResult::NetworkError;
    // The server has nothing past the ".part" file, yet the list wants a
    // different size: no resume can finish this file, so start it afresh.
    if (size && t.offset != *size) {
      RemoveFile(part);
      return DownloadResult::Corrupt;
    }
    // An earlier call wrote all of it; its sum is that of the file as it is.
    if (t.hash) t.hash->UpdateFromFile(part, t.offset);
  } else {
    if (t.answer != Answer::Body) return DownloadResult::NetworkError;
    if (size && t.offset < *size) return DownloadResult::NetworkError;
    if (!t.inMemory && !FileSize(part)) return DownloadResult::NetworkError;
  }
  return std::nullopt;
}

}  // namespace

DownloadResult WriteFailure(WriteResult status) {
  return !status.ok() && status.reason() == FileError::DiskFull ? DownloadResult::DiskFull
                                                                : DownloadResult::WriteError;
}

WriteResult WriteWholePart(const std::string& targetPath, std::string_view bytes, OutputFile& file) {
  WriteResult opened = MakeParentFolders(targetPath);
  if (opened.ok()) opened = OpenOutputFile(PartPath(targetPath), 0, file);
  if (!opened.ok()) return opened;
  const WriteResult written = WriteOutputFile(file, bytes);
  if (!written.ok()) file = OutputFile();
  return written;
}

DownloadResult Receive(DownloadContext& ctx, const std::string& requestPath, const std::string& targetPath,
                       std::string_view expectedMd5, uint64_t expectedSize, DownloadFlags flags,
                       const ProgressCallback& progress, bool sizeKnown, bool keepSmall, Received& received) {
  if (flags.stop.load()) return DownloadResult::Stopped;
  std::optional<uint64_t> size;
  if (sizeKnown || expectedSize != 0) size = expectedSize;
  if (const WriteResult folders = MakeParentFolders(targetPath); !folders.ok())
    return WriteFailure(folders);

  // A file the disk holds an older copy of comes as a patch when it can;
  // whatever keeps it from one sends it down the whole road below.
  if (sizeKnown)
    if (const std::optional<DownloadResult> patched =
            PatchFromOldCopy(ctx, requestPath, targetPath, expectedMd5, expectedSize, flags, progress, received))
      return *patched;

  const std::string part = PartPath(targetPath);
  for (;;) {
    const uint64_t offset = ResumeOffset(part, size);
    Transfer t(ctx, flags, progress, size, part, targetPath, offset, !expectedMd5.empty(),
               keepSmall ? &received.bytes : nullptr);
    const HttpRequest request = FileRequest(ctx, requestPath, size, offset);
    t.window = request.receiveWindowBytes;
    const HttpEnd end = RunTransfer(t, request);
    received.retryAfterSeconds = t.retryAfter;
    received.movedBytes += t.received;
    if (t.rewindow) {
      // What arrived is in the ".part" file; the rest comes on a connection
      // made for the limit now in force, unless a pause or stop came too.
      received.bytes.clear();
      if (const std::optional<DownloadResult> asked = t.Requested()) return *asked;
      continue;
    }
    if (const std::optional<DownloadResult> judged = JudgeEnd(t, end, size, part)) return *judged;
    if (!t.Matches(expectedMd5)) {
      t.file = OutputFile();
      received.bytes.clear();
      RemoveFile(part);
      return DownloadResult::Corrupt;
    }
    received.target = targetPath;
    received.file = std::move(t.file);
    received.inMemory = t.inMemory;
    return DownloadResult::Ok;
  }
}

}  // namespace tarn

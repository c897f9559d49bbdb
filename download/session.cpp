#include "download/session.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "bridge/host_slots.h"
#include "client/file_list.h"
#include "download/limiter.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/http.h"
#include "platform/output_file.h"
#include "platform/paths.h"
#include "platform/thread.h"
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

// A large file's MD5 on a thread of its own, so that hashing (one core's
// work per stream) overlaps receiving and writing instead of adding to them.
// The bytes are copied in order into a bounded queue; the sum is the same
// as hashing them in place.
class HashPipe {
 public:
  explicit HashPipe(Md5Stream stream) : stream_(std::move(stream)) {
    try {
      thread_ = std::thread([this] { Loop(); });
    } catch (const std::system_error&) {
      // No thread: the bytes are hashed on the caller's thread instead.
    }
  }
  ~HashPipe() { Close(); }
  HashPipe(const HashPipe&) = delete;
  HashPipe& operator=(const HashPipe&) = delete;

  void Feed(std::string_view bytes) {
    if (!thread_.joinable()) {
      stream_.Update(bytes);
      return;
    }
    std::unique_lock lock(lock_);
    // The receiver may run ahead of the hash by kPipeBytes at most.
    room_.wait(lock, [this] { return queuedBytes_ < kPipeBytes; });
    // Buffers go round: a fresh large allocation per piece would cost
    // more in page faults than the copy itself.
    std::string copy;
    if (!spare_.empty()) {
      copy = std::move(spare_.back());
      spare_.pop_back();
    }
    lock.unlock();
    copy.assign(bytes);
    lock.lock();
    queuedBytes_ += copy.size();
    queue_.push_back(std::move(copy));
    lock.unlock();
    ready_.notify_one();
  }

  bool Finish(Md5Digest& digest) {
    Close();
    return stream_.Finish(digest);
  }

 private:
  static constexpr size_t kPipeBytes = 16u << 20;

  void Close() {
    {
      std::lock_guard lock(lock_);
      closed_ = true;
    }
    ready_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

  void Loop() {
    std::unique_lock lock(lock_);
    for (;;) {
      ready_.wait(lock, [this] { return closed_ || !queue_.empty(); });
      if (queue_.empty()) break;
      std::string piece = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      stream_.Update(piece);
      lock.lock();
      queuedBytes_ -= piece.size();
      spare_.push_back(std::move(piece));
      room_.notify_one();
    }
    lock.unlock();
    ReleaseThreadState();
  }

  Md5Stream stream_;  // the thread's alone until it is joined
  std::mutex lock_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<std::string> queue_;  // guarded by lock_
  std::vector<std::string> spare_;  // guarded by lock_: hashed pieces, for reuse
  size_t queuedBytes_ = 0;         // guarded by lock_
  bool closed_ = false;            // guarded by lock_
  std::thread thread_;
};

// How much of a large file may wait in memory before the disk is asked to
// start on it.
constexpr uint64_t kWriteOutBytes = 8u << 20;

// A transfer hashes on a thread of its own once it has brought this much:
// below it a thread costs more than it saves.
constexpr uint64_t kPipeAfterBytes = 4u << 20;

// Makes targetPath's ".part" file anew with bytes in it, its folders
// first; the file stays open for the flush. Closed after a failure.
WriteStatus WriteWholePart(const std::string& targetPath, std::string_view bytes, OutputFile& file) {
  WriteStatus opened = MakeParentFolders(targetPath);
  if (opened == WriteStatus::Ok) opened = OpenOutputFile(PartPath(targetPath), 0, file);
  if (opened != WriteStatus::Ok) return opened;
  const WriteStatus written = WriteOutputFile(file, bytes);
  if (written != WriteStatus::Ok) file = OutputFile();
  return written;
}

// A whole small file is received into memory and written by the
// companion, which makes the ".part" file, flushes it and renames it in a
// batch with others: creating a file costs a search for a free inode that
// would otherwise sit between two requests on the same connection.
// The body in memory is what a killed launcher loses and fetches again, so
// it stays small.
constexpr uint64_t kMemoryFileBytes = 128u << 10;

struct Transfer {
  Transfer(LauncherContext& c, DownloadFlags f, const ProgressCallback& p, std::optional<uint64_t> size,
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

  LauncherContext& ctx;
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
  std::optional<DownloadResult> ended;  // set when the transfer is ended from here
  OutputFile file;
  Clock::time_point lastProgress;
  bool dataSinceIdle = false;
  std::optional<Clock::time_point> requestedSince;  // when a pause or stop was first seen

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
    if (const WriteStatus opened = OpenOutputFile(part, offset, file); opened != WriteStatus::Ok) {
      ended = Failure(opened);
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
    switch (inMemory ? (memory->append(bytes), WriteStatus::Ok) : WriteOutputFile(file, bytes)) {
      case WriteStatus::Ok:
        break;
      case WriteStatus::DiskFull:
        ended = DownloadResult::DiskFull;
        return false;
      case WriteStatus::Failed:
        ended = DownloadResult::WriteError;
        return false;
    }
    Hash(bytes);
    offset += bytes.size();
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
    if (progress) {
      const Clock::time_point now = Clock::now();
      if (now - lastProgress >= kProgressInterval) {
        lastProgress = now;
        progress(offset);
      }
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
      const WriteStatus kept = WriteWholePart(target, *memory, file);
      if (!ended && kept != WriteStatus::Ok) ended = Failure(kept);
    }
    if (!file.isOpen()) return;
    if (ended == DownloadResult::Corrupt) {
      file = OutputFile();
    } else {
      const WriteStatus committed = CommitOutputFile(file);
      if (!ended && committed != WriteStatus::Ok) ended = Failure(committed);
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

  static DownloadResult Failure(WriteStatus status) {
    return status == WriteStatus::DiskFull ? DownloadResult::DiskFull : DownloadResult::WriteError;
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
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : digest) {
      hex += kHex[b >> 4];
      hex += kHex[b & 15];
    }
    return SameChecksum(hex, expectedMd5);
  }
};

bool IsSeparator(char c) { return c == '/' || c == NativeSeparator(); }

// The whole file is in its ".part" file: forces it to the disk (when it is
// still open, through that handle; otherwise by name) and gives it the
// target's name, in that order, so a name never sits on data a power cut
// could take back.
WriteStatus Flush(OutputFile& file, const std::string& part) {
  return file.isOpen() ? CommitOutputFile(file) : SyncFileToDisk(part);
}

DownloadResult PlaceFlushed(WriteStatus flushed, const std::string& part, const std::string& target) {
  if (flushed != WriteStatus::Ok) return Transfer::Failure(flushed);
  return MoveFileOver(part, target) ? DownloadResult::Ok : DownloadResult::WriteError;
}

DownloadResult FlushAndRename(OutputFile& file, const std::string& part, const std::string& target) {
  return PlaceFlushed(Flush(file, part), part, target);
}

// What Receive hands on: the ".part" file, or for a small file its bytes
// (inMemory), which nothing has written yet.
using Received = FetchedFile;

// Fetches and checks one file into its ".part" file, or into memory when
// keepSmall allows it for a small one. Ok: received holds exactly the
// listed bytes, not yet forced to the disk.
DownloadResult Receive(LauncherContext& ctx, const std::string& requestPath, const std::string& targetPath,
                       std::string_view expectedMd5, uint64_t expectedSize, DownloadFlags flags,
                       const ProgressCallback& progress, bool sizeKnown, bool keepSmall, Received& received) {
  if (flags.stop.load()) return DownloadResult::Stopped;
  std::optional<uint64_t> size;
  if (sizeKnown || expectedSize != 0) size = expectedSize;
  if (const WriteStatus folders = MakeParentFolders(targetPath); folders != WriteStatus::Ok)
    return Transfer::Failure(folders);

  const std::string part = PartPath(targetPath);
  const int64_t partSize = FileSize(part);
  uint64_t offset = partSize > 0 ? static_cast<uint64_t>(partSize) : 0;
  if (size && offset > *size) {
    RemoveFile(part);
    offset = 0;
  }

  Transfer t(ctx, flags, progress, size, part, targetPath, offset, !expectedMd5.empty(),
             keepSmall ? &received.bytes : nullptr);
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
  // A large receive buffer pays for itself only on a large file; each
  // transfer sets its own, and a small file keeps the library's default.
  request.bufferBytes = size && *size - offset < kReadBufferBytes ? 0 : kReadBufferBytes;
  const HttpEnd end = SendHttpRequest(request, HttpSink{
                                                   .head = [&t](const HttpHead& h) { return t.OnHead(h); },
                                                   .body = [&t](std::string_view b) { return t.OnData(b); },
                                                   .idle = [&t] { return t.OnIdle(); },
                                               })
                          .end;
  // A whole body stays open for the flush that follows; anything less is
  // closed here, on the disk, for the next call to resume.
  const bool whole = !t.ended && end == HttpEnd::Complete && t.answer == Answer::Body &&
                     (t.file.isOpen() || t.inMemory) && (!size || t.offset >= *size);
  if (whole) {
    if (progress) progress(t.offset);
  } else {
    t.Finish();
  }

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
    if (FileSize(part) < 0) return DownloadResult::NetworkError;
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
    if (!t.inMemory && FileSize(part) < 0) return DownloadResult::NetworkError;
  }
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

// Files handed to the companion and not yet placed, at most: each keeps a
// descriptor open, and a companion this far behind means the disk, not the
// network, sets the pace.
constexpr size_t kMaxPending = 64;
// Small bodies kept in memory for the companion, at most.
constexpr size_t kMaxPendingMemory = 8u << 20;

}  // namespace

DownloadHead JudgeDownloadHead(uint32_t status, int64_t rangeFirst, uint64_t offset) {
  switch (status) {
    case 416:
      return DownloadHead::NothingAfterOffset;
    case 200:
      return DownloadHead::Body;
    case 206:
      // A server that continues elsewhere than asked would splice foreign
      // bytes into the file; the ".part" file cannot be trusted after that.
      return rangeFirst >= 0 && static_cast<uint64_t>(rangeFirst) == offset ? DownloadHead::Body
                                                                              : DownloadHead::WrongRange;
    default:
      return DownloadHead::Refused;
  }
}

std::string DownloadResultText(DownloadResult code) {
  switch (code) {
    case DownloadResult::Ok:
      return "Готово";
    case DownloadResult::Paused:
      return "Загрузка приостановлена. Скачанное сохранено — продолжим с того же места.";
    case DownloadResult::Stopped:
      return "Загрузка остановлена. Скачанное сохранено — продолжим с того же места.";
    case DownloadResult::NetworkError:
      return "Оборвалась связь с сервером. Проверьте подключение к интернету и нажмите «Продолжить» — загрузка "
             "пойдёт с того места, где остановилась.";
    case DownloadResult::ServerRefused:
      return "Сервер обновлений ответил отказом. Обычно это значит, что идут работы — попробуйте через несколько "
             "минут.";
    case DownloadResult::WriteError:
      return "Не удалось записать файл на диск. Проверьте, что папка игры доступна для записи и не защищена "
             "антивирусом.";
    case DownloadResult::DiskFull:
      return "На диске закончилось место. Освободите его и нажмите «Продолжить».";
    case DownloadResult::Corrupt:
      return "Скачанный файл повреждён — контрольная сумма не сошлась. Нажмите «Продолжить», файл будет скачан "
             "заново.";
  }
  return "Неизвестная ошибка";
}

std::string PartPath(const std::string& targetPath) { return targetPath + ".part"; }

DownloadResult DownloadFile(LauncherContext& ctx, const std::string& requestPath, const std::string& targetPath,
                            std::string_view expectedMd5, uint64_t expectedSize, DownloadFlags flags,
                            const ProgressCallback& progress, bool sizeKnown) {
  Received received;
  const DownloadResult result =
      Receive(ctx, requestPath, targetPath, expectedMd5, expectedSize, flags, progress, sizeKnown, false, received);
  if (result != DownloadResult::Ok) return result;
  return FlushAndRename(received.file, PartPath(targetPath), targetPath);
}

DownloadSession::DownloadSession(LauncherContext& ctx, PlacedCallback placed, BeforeFlush beforeFlush)
    : ctx_(ctx), placed_(std::move(placed)), beforeFlush_(std::move(beforeFlush)) {}

DownloadSession::~DownloadSession() {
  {
    std::lock_guard lock(lock_);
    quit_ = true;
  }
  work_.notify_all();
  if (companion_.joinable()) companion_.join();
}

DownloadResult DownloadSession::Download(const std::string& requestPath, const std::string& targetPath,
                                         std::string_view expectedMd5, uint64_t expectedSize, DownloadFlags flags,
                                         const ProgressCallback& progress, bool sizeKnown, size_t tag) {
  Poll();
  // A target listed twice must not be fetched into a ".part" file that is
  // still waiting for its flush and rename; and the companion may not fall
  // further behind than kMaxPending files, nor hold more than
  // kMaxPendingMemory of bodies not yet written.
  WaitUntil([&] {
    return busy_ < kMaxPending && memoryHeld_ < kMaxPendingMemory &&
           std::find(targets_.begin(), targets_.end(), targetPath) == targets_.end();
  });
  Received received;
  const DownloadResult result =
      Receive(ctx_, requestPath, targetPath, expectedMd5, expectedSize, flags, progress, sizeKnown, true, received);
  if (result == DownloadResult::Ok) HandOver(std::move(received), tag);
  Poll();
  return result;
}

DownloadResult DownloadSession::Fetch(const std::string& requestPath, const std::string& targetPath,
                                      std::string_view expectedMd5, uint64_t expectedSize, DownloadFlags flags,
                                      const ProgressCallback& progress, bool sizeKnown, FetchedFile& fetched) {
  {
    // Only the session's own thread reports, so this waits without doing so.
    std::unique_lock lock(lock_);
    const auto free = [&] { return std::find(targets_.begin(), targets_.end(), targetPath) == targets_.end(); };
    if (!free()) {
      ++hurry_;
      work_.notify_one();
      progress_.wait(lock, free);
      --hurry_;
    }
  }
  return Receive(ctx_, requestPath, targetPath, expectedMd5, expectedSize, flags, progress, sizeKnown, true, fetched);
}

void DownloadSession::Place(FetchedFile fetched, size_t tag) {
  Poll();
  WaitUntil([&] { return busy_ < kMaxPending && memoryHeld_ < kMaxPendingMemory; });
  HandOver(std::move(fetched), tag);
  Poll();
}

void DownloadSession::HandOver(FetchedFile fetched, size_t tag) {
  Pending pending;
  pending.tag = tag;
  pending.part = PartPath(fetched.target);
  pending.target = std::move(fetched.target);
  pending.file = std::move(fetched.file);
  pending.bytes = std::move(fetched.bytes);
  pending.inMemory = fetched.inMemory;
  HandOver(std::move(pending));
}

void DownloadSession::Poll() {
  std::deque<PlacedFile> reports;
  {
    std::lock_guard lock(lock_);
    reports.swap(done_);
  }
  for (const PlacedFile& report : reports)
    if (placed_) placed_(report);
}

void DownloadSession::Drain() {
  WaitUntil([this] { return busy_ == 0; });
  Poll();
}

void DownloadSession::WaitUntil(const std::function<bool()>& ready) {
  std::unique_lock lock(lock_);
  if (ready()) return;
  // Someone waits for the companion: it stops gathering and flushes now.
  ++hurry_;
  work_.notify_one();
  while (!ready()) {
    progress_.wait(lock);
    if (done_.empty()) continue;
    // Reports go out while waiting, so the caller's record keeps pace.
    std::deque<PlacedFile> reports;
    reports.swap(done_);
    lock.unlock();
    for (const PlacedFile& report : reports)
      if (placed_) placed_(report);
    lock.lock();
  }
  --hurry_;
}

void DownloadSession::HandOver(Pending pending) {
  if (!companion_.joinable()) {
    try {
      companion_ = std::thread([this] { FlushLoop(); });
    } catch (const std::system_error&) {
      // No thread to spare: the flush happens here, as a lone download's does.
      std::deque<Pending> alone;
      alone.push_back(std::move(pending));
      WritePending(alone.front());
      FlushAndPlace(alone);
      std::lock_guard lock(lock_);
      done_.push_back({alone.front().tag, alone.front().result});
      return;
    }
  }
  {
    std::lock_guard lock(lock_);
    targets_.push_back(pending.target);
    ++busy_;
    memoryHeld_ += pending.bytes.size();
    queued_.push_back(std::move(pending));
  }
  work_.notify_one();
}

void DownloadSession::WritePending(Pending& pending) {
  if (!pending.inMemory) return;
  const WriteStatus written = WriteWholePart(pending.target, pending.bytes, pending.file);
  if (written != WriteStatus::Ok) pending.result = Transfer::Failure(written);
  std::string().swap(pending.bytes);
}

void DownloadSession::FlushAndPlace(std::deque<Pending>& batch) const {
  // Files that waited go to the disk together, for about the price of one;
  // each is still renamed only after that, in download order.
  std::vector<OutputFile*> open;
  std::vector<size_t> slot(batch.size(), SIZE_MAX);  // into open; none for a file without a handle
  for (size_t i = 0; i < batch.size(); ++i) {
    Pending& pending = batch[i];
    if (pending.result != DownloadResult::Ok) continue;
    if (beforeFlush_) beforeFlush_(pending.part);
    if (!pending.file.isOpen()) continue;
    slot[i] = open.size();
    open.push_back(&pending.file);
  }
  std::vector<WriteStatus> flushed(open.size(), WriteStatus::Ok);
  CommitOutputFiles(open.data(), open.size(), flushed.data());
  for (size_t i = 0; i < batch.size(); ++i) {
    Pending& pending = batch[i];
    if (pending.result != DownloadResult::Ok) continue;
    // A ".part" file an earlier call completed is flushed by name.
    const WriteStatus status = slot[i] == SIZE_MAX ? SyncFileToDisk(pending.part) : flushed[slot[i]];
    pending.result = PlaceFlushed(status, pending.part, pending.target);
  }
}

void DownloadSession::FlushLoop() {
  // Writing and flushing can wait a moment; the next request on the wire,
  // and the service answering it on the same machine, should not.
  LowerThisThreadPriority();
  // Written and waiting for the flush: the companion's own.
  std::deque<Pending> held;
  Clock::time_point heldSince;
  size_t heldBytes = 0;
  bool heldLarge = false;
  // Small files wait a moment for company, unless someone is waiting for
  // them: one flush of many costs about what one file's flush costs. A
  // file the transfer wrote itself is large, and its flush starts at once.
  const auto due = [&] {
    return quit_ || hurry_ > 0 || heldLarge || held.size() >= kGatherFiles || heldBytes >= kGatherBytes ||
           Clock::now() >= heldSince + kGatherTime;
  };
  std::unique_lock lock(lock_);
  for (;;) {
    if (held.empty()) {
      work_.wait(lock, [this] { return quit_ || !queued_.empty(); });
    } else {
      work_.wait_until(lock, heldSince + kGatherTime, [&] { return !queued_.empty() || due(); });
    }
    if (held.empty() && queued_.empty()) break;  // quit_ with nothing left to do
    std::deque<Pending> taken;
    taken.swap(queued_);
    lock.unlock();
    // A small body is written at once, so a killed launcher loses little;
    // only its flush waits.
    size_t freed = 0;
    for (Pending& pending : taken) {
      if (held.empty()) heldSince = Clock::now();
      freed += pending.bytes.size();
      heldBytes += pending.bytes.size();
      heldLarge = heldLarge || !pending.inMemory;
      WritePending(pending);
      held.push_back(std::move(pending));
    }
    lock.lock();
    memoryHeld_ -= freed;
    if (freed > 0) progress_.notify_all();
    if (!due()) continue;
    lock.unlock();
    FlushAndPlace(held);
    lock.lock();
    for (const Pending& pending : held) {
      targets_.erase(std::find(targets_.begin(), targets_.end(), pending.target));
      --busy_;
      done_.push_back({pending.tag, pending.result});
    }
    held.clear();
    heldBytes = 0;
    heldLarge = false;
    progress_.notify_all();
  }
  lock.unlock();
  ReleaseThreadState();
}

FetchWorkers::FetchWorkers(size_t count, size_t workers, TargetOf target, Fetch fetch)
    : count_(count), target_(std::move(target)), fetch_(std::move(fetch)), done_(count, 0) {
  workers = std::clamp<size_t>(std::min(workers, count), 1, kMaxWorkers);
  for (size_t i = 0; i < workers; ++i) {
    try {
      threads_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      break;  // fewer workers; with none at all, Next fetches on its own thread
    }
  }
  std::lock_guard lock(lock_);
  most_ = std::max<size_t>(threads_.size(), 1);
  limit_ = most_;
}

FetchWorkers::~FetchWorkers() {
  Halt();
  for (std::thread& t : threads_) t.join();
}

void FetchWorkers::Halt() {
  {
    std::lock_guard lock(lock_);
    halted_ = true;
  }
  changed_.notify_all();
}

void FetchWorkers::Shrink() {
  std::lock_guard lock(lock_);
  limit_ = std::max<size_t>(limit_ / 2, 1);
}

bool FetchWorkers::MayStart() const {
  if (cursor_ >= count_ || running_ >= limit_ || cursor_ >= handed_ + kWindow) return false;
  // A target listed twice: its ".part" file is not fetched into by two
  // transfers, nor before the earlier one is handed on for placing.
  const std::string& target = target_(cursor_);
  for (size_t j = handed_; j < cursor_; ++j)
    if (target_(j) == target) return false;
  return true;
}

void FetchWorkers::Work() {
  std::unique_lock lock(lock_);
  for (;;) {
    changed_.wait(lock, [this] { return halted_ || cursor_ >= count_ || MayStart(); });
    if (halted_ || cursor_ >= count_) break;
    const size_t index = cursor_++;
    ++running_;
    lock.unlock();
    const bool came = fetch_(index, *this);
    lock.lock();
    --running_;
    done_[index] = 1;
    if (came && limit_ < most_) ++limit_;
    changed_.notify_all();
  }
  lock.unlock();
  ReleaseThreadState();
}

bool FetchWorkers::Next(size_t& index, const std::function<void()>& idle) {
  std::unique_lock lock(lock_);
  // The caller is done with every index it took: the window moves, and an
  // index waiting for its target may start.
  if (handed_ != next_) {
    handed_ = next_;
    changed_.notify_all();
  }
  for (;;) {
    if (next_ < count_ && done_[next_]) {
      index = next_++;
      return true;
    }
    if (next_ >= count_ || (halted_ && next_ >= cursor_)) return false;
    if (threads_.empty() && cursor_ == next_) {
      // No worker thread could start: the caller's thread does the work.
      const size_t mine = cursor_++;
      lock.unlock();
      fetch_(mine, *this);
      lock.lock();
      done_[mine] = 1;
      continue;
    }
    changed_.wait_for(lock, std::chrono::milliseconds(20));
    lock.unlock();
    if (idle) idle();
    lock.lock();
  }
}

WriteStatus MakeParentFolders(const std::string& filePath) {
  size_t last = std::string::npos;
  for (size_t i = 0; i < filePath.size(); ++i)
    if (IsSeparator(filePath[i])) last = i;
  if (filePath.empty() || last == std::string::npos) return WriteStatus::Ok;
  const std::string dir = filePath.substr(0, last);
  if (dir.empty()) return WriteStatus::Ok;  // a file directly in the root
  // Most files go where an earlier one went: one call then settles it.
  if (MakeOutputFolder(dir) == WriteStatus::Ok) return WriteStatus::Ok;
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i < dir.size() && !IsSeparator(dir[i])) continue;
    const std::string level = dir.substr(0, i);
    // A drive prefix such as "D:" is not a folder to create.
    if (level.back() == ':' || IsSeparator(level.back())) continue;
    MakeOutputFolder(level);
  }
  return MakeOutputFolder(dir);
}

bool EnsureParentDirs(const std::string& filePath) { return MakeParentFolders(filePath) == WriteStatus::Ok; }

}  // namespace tarn

#include "download/session.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "download/transfer.h"
#include "platform/file.h"
#include "platform/output_file.h"
#include "platform/paths.h"
#include "platform/thread.h"

namespace tarn {
namespace {

using Clock = std::chrono::steady_clock;

bool IsSeparator(char c) { return c == '/' || c == NativeSeparator(); }

// The whole file is in its ".part" file: forces it to the disk (when it is
// still open, through that handle; otherwise by name) and gives it the
// target's name, in that order, so a name never sits on data a power cut
// could take back.
WriteResult Flush(OutputFile& file, const std::string& part) {
  return file.isOpen() ? CommitOutputFile(file) : SyncFileToDisk(part);
}

DownloadResult PlaceFlushed(WriteResult flushed, const std::string& part, const std::string& target) {
  if (!flushed.ok()) return WriteFailure(flushed);
  return MoveFileOver(part, target) ? DownloadResult::Ok : DownloadResult::WriteError;
}

DownloadResult FlushAndRename(OutputFile& file, const std::string& part, const std::string& target) {
  return PlaceFlushed(Flush(file, part), part, target);
}

// Files handed to the companion and not yet placed, at most: each keeps a
// descriptor open, and a companion this far behind means the disk, not the
// network, sets the pace.
constexpr size_t kMaxPending = 64;
// Small bodies kept in memory for the companion, at most.
constexpr size_t kMaxPendingMemory = 8u << 20;

}  // namespace

std::string PartPath(const std::string& targetPath) { return targetPath + ".part"; }

uint64_t PartBytesHeld(const std::string& targetPath, uint64_t size) {
  const uint64_t held = FileSize(PartPath(targetPath)).value_or(0);
  return size != 0 && held > size ? 0 : held;
}

DownloadResult DownloadFile(DownloadContext& ctx, const std::string& requestPath, const std::string& targetPath,
                            std::string_view expectedMd5, uint64_t expectedSize, DownloadFlags flags,
                            const ProgressCallback& progress, bool sizeKnown) {
  Received received;
  const DownloadResult result =
      Receive(ctx, requestPath, targetPath, expectedMd5, expectedSize, flags, progress, sizeKnown, false, received);
  if (result != DownloadResult::Ok) return result;
  return FlushAndRename(received.file, PartPath(targetPath), targetPath);
}

DownloadSession::DownloadSession(DownloadContext& ctx, PlacedCallback placed, BeforeFlush beforeFlush)
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
  const WriteResult written = WriteWholePart(pending.target, pending.bytes, pending.file);
  if (!written.ok()) pending.result = WriteFailure(written);
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
  std::vector<WriteResult> flushed(open.size(), WriteResult());
  CommitOutputFiles(open.data(), open.size(), flushed.data());
  for (size_t i = 0; i < batch.size(); ++i) {
    Pending& pending = batch[i];
    if (pending.result != DownloadResult::Ok) continue;
    // A ".part" file an earlier call completed is flushed by name.
    const WriteResult status = slot[i] == SIZE_MAX ? SyncFileToDisk(pending.part) : flushed[slot[i]];
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

WriteResult MakeParentFolders(const std::string& filePath) {
  size_t last = std::string::npos;
  for (size_t i = 0; i < filePath.size(); ++i)
    if (IsSeparator(filePath[i])) last = i;
  if (filePath.empty() || last == std::string::npos) return {};
  const std::string dir = filePath.substr(0, last);
  if (dir.empty()) return {};  // a file directly in the root
  // Most files go where an earlier one went: one call then settles it.
  if (MakeOutputFolder(dir).ok()) return {};
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i < dir.size() && !IsSeparator(dir[i])) continue;
    const std::string level = dir.substr(0, i);
    // A drive prefix such as "D:" is not a folder to create.
    if (level.back() == ':' || IsSeparator(level.back())) continue;
    // A level that fails is told by the last call, for the whole folder.
    static_cast<void>(MakeOutputFolder(level));
  }
  return MakeOutputFolder(dir);
}

bool EnsureParentDirs(const std::string& filePath) { return MakeParentFolders(filePath).ok(); }

}  // namespace tarn

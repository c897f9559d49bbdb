#include "download/patch.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "bridge/log.h"
#include "client/file_list.h"
#include "download/hash_pipe.h"
#include "download/limiter.h"
#include "download/request_path.h"
#include "download/transfer.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/http.h"
#include "platform/output_file.h"
#include "service/call.h"

namespace tarn {
namespace {

using Clock = std::chrono::steady_clock;

// The scan reads the old copy in pieces of this size.
constexpr size_t kScanPiece = 4u << 20;
// Copies from the old copy go in pieces of this size.
constexpr size_t kCopyPiece = 1u << 20;
// A plan of more ranges than this pays a round trip for each of them, more
// than the whole file costs on any line worth patching over.
constexpr size_t kMostRanges = 4096;
// The index answer's stall limits, as for a short service call.
constexpr int kIndexTotalMs = 60000;
constexpr uint64_t kWriteOutBytes = 8u << 20;

// A bit per slot of weak sums, so most positions that start no listed
// block cost one look at memory and no search.
class WeakFilter {
 public:
  void Add(uint32_t weak) { bits_[Slot(weak) / 64] |= 1ull << (Slot(weak) % 64); }
  bool MayHold(uint32_t weak) const { return (bits_[Slot(weak) / 64] >> (Slot(weak) % 64)) & 1; }

 private:
  static constexpr unsigned kBits = 20;
  static uint32_t Slot(uint32_t weak) { return (weak * 0x9E3779B1u) >> (32 - kBits); }
  std::vector<uint64_t> bits_ = std::vector<uint64_t>((1u << kBits) / 64, 0);
};

struct Candidate {
  uint32_t weak;
  uint32_t block;
  bool operator<(const Candidate& other) const { return weak < other.weak; }
};

// Reads the old copy front to back and keeps a window of it in memory.
class ScanWindow {
 public:
  ScanWindow(InputFile& file, size_t span) : file_(file), span_(span) {}
  bool ok() const { return buffer_ != nullptr; }
  // Makes [at, at + span) readable; false at the end of the file or on an error.
  bool Reach(uint64_t at) {
    if (at >= start_ && at + span_ <= start_ + held_) return true;
    const size_t keep = at < start_ + held_ ? static_cast<size_t>(start_ + held_ - at) : 0;
    if (keep > 0) std::memmove(buffer_.get(), buffer_.get() + (at - start_), keep);
    start_ = at;
    held_ = keep;
    while (held_ < span_) {
      const int64_t n = ReadInputFile(file_, start_ + held_, buffer_.get() + held_, capacity_ - held_);
      if (n < 0) failed_ = true;
      if (n <= 0) return false;
      held_ += static_cast<size_t>(n);
    }
    return true;
  }
  unsigned char At(uint64_t at) const { return static_cast<unsigned char>(buffer_[at - start_]); }
  std::string_view View(uint64_t at) const { return {buffer_.get() + (at - start_), span_}; }
  bool failed() const { return failed_; }

 private:
  InputFile& file_;
  size_t span_;
  size_t capacity_ = kScanPiece + span_;
  std::unique_ptr<char[]> buffer_{new (std::nothrow) char[capacity_]};
  uint64_t start_ = 0;
  size_t held_ = 0;
  bool failed_ = false;
};

// Notes every listed block with this strong hash as held at position.
bool TakeMatches(const std::vector<Candidate>& table, const BlockIndex& index, uint32_t weak, std::string_view window,
                 uint64_t position, std::vector<int64_t>& kept) {
  auto [from, to] = std::equal_range(table.begin(), table.end(), Candidate{weak, 0});
  if (from == to) return false;
  StrongHash strong{};
  if (!StrongHashOf(window, strong)) return false;
  bool found = false;
  for (auto c = from; c != to; ++c) {
    if (index.blocks[c->block].strong != strong) continue;
    found = true;
    if (kept[c->block] < 0) kept[c->block] = static_cast<int64_t>(position);
  }
  return found;
}

// The short last block cannot be met by the rolling window of full blocks;
// the old copy offers it where it stood and at its own end.
void FindTail(const BlockIndex& index, InputFile& old, uint64_t oldSize, std::vector<int64_t>& kept) {
  const size_t last = index.blocks.size() - 1;
  const uint64_t length = BlockLength(index, last);
  if (length == index.blockSize || length > oldSize || kept[last] >= 0) return;
  std::string bytes(static_cast<size_t>(length), '\0');
  for (const uint64_t at : {static_cast<uint64_t>(last) * index.blockSize, oldSize - length}) {
    if (at + length > oldSize) continue;
    if (ReadInputFile(old, at, bytes.data(), bytes.size()) != static_cast<int64_t>(length)) return;
    StrongHash strong{};
    if (WeakSumOf(bytes).value() == index.blocks[last].weak && StrongHashOf(bytes, strong) &&
        strong == index.blocks[last].strong) {
      kept[last] = static_cast<int64_t>(at);
      return;
    }
  }
}

// One range of the new file from the service into the ".part" file.
struct RangeFetch {
  DownloadContext& ctx;
  DownloadFlags flags;
  OutputFile& file;
  HashPipe& hash;
  const std::string& part;
  uint64_t size;  // the whole file's
  uint64_t first;
  uint64_t length;
  uint64_t arrived = 0;
  bool lied = false;  // the answer is not the range asked for
  std::optional<DownloadResult> ended;
  std::optional<Clock::time_point> requestedSince;
  // A server that does not answer ranges sends the whole file with a 200:
  // it is taken as a whole download takes it, into the ".part" file from
  // its start, rather than asked for once more.
  std::optional<HashPipe> whole;

  std::optional<DownloadResult> Requested() const {
    if (flags.stop.load()) return DownloadResult::Stopped;
    if (flags.pause.load()) return DownloadResult::Paused;
    return std::nullopt;
  }

  bool OnHead(const HttpHead& head) {
    // Anything but the very range asked for: a 200 carries the whole file,
    // another first byte or length would be spliced in at the wrong place.
    if (head.status == 200 && (head.contentLength < 0 || static_cast<uint64_t>(head.contentLength) == size)) {
      if (const WriteResult opened = OpenOutputFile(part, 0, file); !opened) {
        ended = WriteFailure(opened);
        return false;
      }
      whole.emplace(Md5Stream());
      return true;
    }
    if (head.status != 206) {
      if (head.status == 200 || head.status == 416) lied = true;
      else ended = DownloadResult::ServerRefused;
      return false;
    }
    if (head.rangeFirst != static_cast<int64_t>(first) ||
        (head.contentLength >= 0 && static_cast<uint64_t>(head.contentLength) != length)) {
      lied = true;
      return false;
    }
    return true;
  }

  bool OnData(std::string_view bytes) {
    if (bytes.size() > (whole ? size : length) - arrived) {
      lied = true;
      return false;
    }
    if (const WriteResult written = WriteOutputFile(file, bytes); !written) {
      ended = WriteFailure(written);
      return false;
    }
    if (whole) whole->Feed(bytes);
    else hash.Feed(bytes);
    arrived += bytes.size();
    ThrottleReceived(ctx, bytes.size(), [this] { return Requested().has_value(); });
    return !StopNow(true);
  }

  // A pause or stop lets the bytes in flight land, as a whole download does.
  bool StopNow(bool data) {
    const std::optional<DownloadResult> request = Requested();
    if (!request) return false;
    const Clock::time_point now = Clock::now();
    if (!requestedSince) requestedSince = now;
    if (data && now - *requestedSince < std::chrono::milliseconds(1500)) return false;
    ended = request;
    return true;
  }
};

// The index beside requestPath, read whole when it is no larger than one
// for a file of size can be; nothing otherwise.
std::optional<std::string> FetchIndex(DownloadContext& ctx, const std::string& indexPath, uint64_t size,
                                      uint64_t& moved) {
  HttpRequest request = FileRequest(ctx, indexPath, std::nullopt, 0);
  request.timeouts.totalMs = kIndexTotalMs;
  request.bufferBytes = 0;
  const uint64_t most = MaxBlockIndexBytes(size);
  std::string bytes;
  bool tooLong = false;
  const HttpResult result = SendHttpRequest(
      request, HttpSink{.head = [](const HttpHead& head) { return head.status == 200; },
                        .body =
                            [&](std::string_view piece) {
                              moved += piece.size();
                              if (piece.size() > most - bytes.size()) {
                                tooLong = true;
                                return false;
                              }
                              bytes.append(piece);
                              return true;
                            },
                        .idle = {}});
  if (result.status != 200 || result.end != HttpEnd::Complete || tooLong) return std::nullopt;
  return bytes;
}

// How one pass of the assembly ended.
struct Assembly {
  std::optional<DownloadResult> result;  // none: the file should come whole
  bool touched = false;                  // the ".part" file was written
  bool cameWhole = false;                // a range was answered with the whole file
};

// Builds the ".part" file from plan, from what it already holds on.
Assembly Assemble(DownloadContext& ctx, const std::string& requestPath, const std::string& part, InputFile& old,
                  const std::vector<PatchPiece>& plan, uint64_t size, std::string_view md5, DownloadFlags flags,
                  const ProgressCallback& progress, FetchedFile& fetched) {
  Assembly out;
  const auto partSize = FileSize(part);
  uint64_t done = partSize ? partSize.value() : 0;
  if (done > size) {
    RemoveFile(part);
    done = 0;
  }
  Md5Stream prefix;
  if (done > 0 && !prefix.UpdateFromFile(part, done)) {
    // A ".part" file that cannot be read is made anew.
    prefix = Md5Stream();
    done = 0;
  }
  // The sum is taken beside the copying and the transfers, on a thread of
  // its own.
  HashPipe hash(std::move(prefix));
  OutputFile file;
  if (const WriteResult opened = OpenOutputFile(part, done, file); !opened) {
    out.result = WriteFailure(opened);
    return out;
  }
  out.touched = true;
  const std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyPiece]);
  if (!buffer) {
    out.result = DownloadResult::WriteError;
    return out;
  }
  // The disk starts on the file while it grows, so the flush before the
  // rename waits only for the tail, as for a whole download.
  uint64_t writtenOutTo = done;
  const auto writeOut = [&] {
    if (done - writtenOutTo < kWriteOutBytes) return;
    StartWritingOut(file, writtenOutTo, done - writtenOutTo);
    writtenOutTo = done;
  };
  const auto keep = [&](std::optional<DownloadResult> result) {
    // What arrived is on the disk for the next call.
    const WriteResult committed = CommitOutputFile(file);
    out.result = committed || !result ? result : WriteFailure(committed);
    return out;
  };
  for (const PatchPiece& piece : plan) {
    const uint64_t end = piece.offset + piece.length;
    if (end <= done) continue;
    const uint64_t skip = done - piece.offset;
    if (flags.stop.load()) return keep(DownloadResult::Stopped);
    if (flags.pause.load()) return keep(DownloadResult::Paused);
    if (piece.source >= 0) {
      for (uint64_t at = done; at < end;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kCopyPiece, end - at));
        const uint64_t from = static_cast<uint64_t>(piece.source) + (at - piece.offset);
        if (ReadInputFile(old, from, buffer.get(), want) != static_cast<int64_t>(want)) return keep(std::nullopt);
        const std::string_view bytes(buffer.get(), want);
        if (const WriteResult written = WriteOutputFile(file, bytes); !written)
          return keep(WriteFailure(written));
        hash.Feed(bytes);
        at += want;
        done = at;
        writeOut();
      }
    } else {
      RangeFetch fetch{.ctx = ctx, .flags = flags, .file = file, .hash = hash, .part = part, .size = size,
                       .first = piece.offset + skip, .length = piece.length - skip, .arrived = 0, .lied = false,
                       .ended = {}, .requestedSince = {}, .whole = {}};
      HttpRequest request = FileRequest(ctx, requestPath, size, fetch.first);
      request.rangeLength = fetch.length;
      const HttpResult result =
          SendHttpRequest(request, HttpSink{.head = [&](const HttpHead& h) { return fetch.OnHead(h); },
                                            .body = [&](std::string_view b) { return fetch.OnData(b); },
                                            .idle = [&] { return !fetch.StopNow(false); }});
      LogRefusal(ctx, ServiceEndpointInUse(ctx), result);
      fetched.movedBytes += fetch.arrived;
      if (fetch.whole) {
        // What the ".part" file holds now is the start of the whole file.
        done = fetch.arrived;
        if (fetch.lied) return keep(std::nullopt);
        if (fetch.ended) return keep(fetch.ended);
        if (result.end != HttpEnd::Complete || done != size) return keep(DownloadResult::NetworkError);
        Md5Digest digest{};
        if (!fetch.whole->Finish(digest) || !SameChecksum(Md5DigestHex(digest), md5)) {
          out.result = DownloadResult::Corrupt;
          RemoveFile(part);
          return out;
        }
        LogLine(ctx.launcher.log, "сервер не отдаёт диапазоны: файл пришёл целиком");
        if (progress) progress(done);
        fetched.file = std::move(file);
        out.result = DownloadResult::Ok;
        out.cameWhole = true;
        return out;
      }
      done += fetch.arrived;
      if (fetch.lied) {
        LogLine(ctx.launcher.log, "сервер ответил не тем диапазоном: файл скачивается целиком");
        return keep(std::nullopt);
      }
      if (fetch.ended) return keep(fetch.ended);
      if (result.end == HttpEnd::BadReply) return keep(DownloadResult::ServerRefused);
      if (result.end != HttpEnd::Complete || fetch.arrived != fetch.length) return keep(DownloadResult::NetworkError);
    }
    writeOut();
  }
  Md5Digest digest{};
  if (!hash.Finish(digest) || !SameChecksum(Md5DigestHex(digest), md5)) return keep(std::nullopt);
  if (progress) progress(done);
  fetched.file = std::move(file);
  out.result = DownloadResult::Ok;
  return out;
}

}  // namespace

std::optional<std::vector<int64_t>> FindKeptBlocks(const BlockIndex& index, InputFile& old,
                                                   const std::atomic<bool>& stop) {
  std::vector<int64_t> kept(index.blocks.size(), -1);
  const FileStamp stamp = StampOf(old);
  if (stamp.size < 0) return std::nullopt;
  const uint64_t oldSize = static_cast<uint64_t>(stamp.size);
  if (index.blocks.empty()) return kept;
  // Full blocks only: the short last one is looked for apart.
  const size_t full = static_cast<size_t>(index.fileSize / index.blockSize);
  std::vector<Candidate> table;
  table.reserve(full);
  WeakFilter filter;
  for (size_t i = 0; i < full; ++i) {
    table.push_back({index.blocks[i].weak, static_cast<uint32_t>(i)});
    filter.Add(index.blocks[i].weak);
  }
  std::stable_sort(table.begin(), table.end());
  const uint64_t span = index.blockSize;
  ScanWindow window(old, index.blockSize);
  if (!window.ok()) return std::nullopt;
  uint64_t position = 0;
  bool fresh = true;  // the weak sum is to be computed anew at position
  WeakSum weak;
  uint64_t sinceStopCheck = 0;
  while (full > 0 && position + span <= oldSize) {
    if (!window.Reach(position)) break;
    if (fresh) {
      weak = WeakSumOf(window.View(position));
      fresh = false;
    }
    const uint32_t value = weak.value();
    if (filter.MayHold(value) && TakeMatches(table, index, value, window.View(position), position, kept)) {
      position += span;
      fresh = true;
      sinceStopCheck += span;
    } else {
      if (position + span >= oldSize) break;
      const unsigned char out = window.At(position);
      if (!window.Reach(position + 1)) break;
      weak.Roll(out, window.At(position + span));
      ++position;
      ++sinceStopCheck;
    }
    if (sinceStopCheck >= kScanPiece) {
      sinceStopCheck = 0;
      if (stop.load()) return std::nullopt;
    }
  }
  if (window.failed()) return std::nullopt;
  FindTail(index, old, oldSize, kept);
  return kept;
}

std::vector<PatchPiece> PlanPatch(const BlockIndex& index, const std::vector<int64_t>& kept) {
  std::vector<PatchPiece> plan;
  for (size_t i = 0; i < index.blocks.size() && i < kept.size(); ++i) {
    const uint64_t offset = static_cast<uint64_t>(i) * index.blockSize;
    const uint64_t length = BlockLength(index, i);
    const int64_t source = kept[i];
    if (!plan.empty()) {
      PatchPiece& last = plan.back();
      const bool joinFetch = source < 0 && last.source < 0;
      const bool joinCopy = source >= 0 && last.source >= 0 &&
                            static_cast<uint64_t>(last.source) + last.length == static_cast<uint64_t>(source);
      if (joinFetch || joinCopy) {
        last.length += length;
        continue;
      }
    }
    plan.push_back({offset, length, source});
  }
  return plan;
}

uint64_t FetchedBytes(const std::vector<PatchPiece>& plan) {
  uint64_t bytes = 0;
  for (const PatchPiece& piece : plan)
    if (piece.source < 0) bytes += piece.length;
  return bytes;
}

std::optional<DownloadResult> PatchFromOldCopy(DownloadContext& ctx, const std::string& requestPath,
                                               const std::string& targetPath, std::string_view md5, uint64_t size,
                                               DownloadFlags flags, const ProgressCallback& progress,
                                               FetchedFile& fetched) {
  const std::string indexPath = BlockIndexRequestPath(requestPath);
  if (size < kBlockIndexMinBytes || md5.empty() || indexPath.empty()) return std::nullopt;
  InputFile old;
  if (!OpenInputFile(targetPath, old)) return std::nullopt;
  const FileStamp before = StampOf(old);
  if (before.size <= 0) return std::nullopt;
  const std::optional<std::string> bytes = FetchIndex(ctx, indexPath, size, fetched.movedBytes);
  BlockIndex index;
  // An index is believed only about the file the signed list names.
  if (!bytes || !ParseBlockIndex(*bytes, index) || index.fileSize != size || !SameChecksum(index.md5, md5))
    return std::nullopt;
  const std::optional<std::vector<int64_t>> kept = FindKeptBlocks(index, old, flags.stop);
  if (!kept) return flags.stop.load() ? std::optional(DownloadResult::Stopped) : std::nullopt;
  const std::vector<PatchPiece> plan = PlanPatch(index, *kept);
  const size_t ranges = static_cast<size_t>(std::count_if(plan.begin(), plan.end(), [](const PatchPiece& p) {
    return p.source < 0;
  }));
  if (FetchedBytes(plan) == size || ranges > kMostRanges || !(StampOf(old) == before)) return std::nullopt;
  LogLine(ctx.launcher.log, "патч %s: из старой копии %llu байт, скачать %llu байт (%zu запросов)", targetPath.c_str(),
          static_cast<unsigned long long>(size - FetchedBytes(plan)),
          static_cast<unsigned long long>(FetchedBytes(plan)), ranges);

  const std::string part = PartPath(targetPath);
  const Assembly assembled =
      Assemble(ctx, requestPath, part, old, plan, size, md5, flags, progress, fetched);
  // The old copy must have held still from the scan to the last copy.
  const bool steady = StampOf(old) == before;
  if (assembled.result == DownloadResult::Ok && (steady || assembled.cameWhole)) {
    fetched.target = targetPath;
    fetched.inMemory = false;
    fetched.patched = !assembled.cameWhole;
    return DownloadResult::Ok;
  }
  // A whole file that is not the listed one is what the whole road would
  // have brought too.
  if (assembled.result == DownloadResult::Corrupt) return assembled.result;
  if (assembled.result && assembled.result != DownloadResult::Ok && steady) return assembled.result;
  fetched.file = OutputFile();
  if (assembled.touched) RemoveFile(part);
  return std::nullopt;
}

}  // namespace tarn

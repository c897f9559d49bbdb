#include "tools/service/file_server.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "download/request_path.h"
#include "tools/common/site.h"
#include "tools/service/answer.h"
#include "tools/service/query.h"

namespace tarn::tools {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kTextType[] = "text/plain; charset=utf-8";

struct ByteRange {
  bool present = false;
  uint64_t first = 0;
  uint64_t last = 0;     // inclusive
  bool toEnd = true;     // "N-"
  bool suffix = false;   // "-K": the last K bytes
};

// One "bytes=" range; several ranges are answered as if none were asked
// for, which the protocol allows and no launcher does.
ByteRange ParseRange(const std::string& header) {
  ByteRange r;
  std::string_view v(header);
  if (!v.starts_with("bytes=") || v.find(',') != std::string_view::npos) return r;
  v.remove_prefix(6);
  const size_t dash = v.find('-');
  if (dash == std::string_view::npos) return r;
  auto number = [](std::string_view s, uint64_t& out) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return !s.empty() && ec == std::errc() && p == s.data() + s.size();
  };
  const std::string_view a = v.substr(0, dash);
  const std::string_view b = v.substr(dash + 1);
  if (a.empty()) {
    if (!number(b, r.last)) return r;
    r.suffix = true;
  } else {
    if (!number(a, r.first)) return r;
    if (!b.empty()) {
      if (!number(b, r.last) || r.last < r.first) return r;
      r.toEnd = false;
    }
  }
  r.present = true;
  return r;
}

// The bytes of the file an answer sends.
struct Slice {
  uint64_t first = 0;
  uint64_t length = 0;
};

// Sets the status and Content-Range of a file answer and picks its slice.
// False when the range cannot be served, answered 416.
bool AnswerRange(const ByteRange& range, uint64_t size, FaultState& faults, httplib::Response& res, Slice& slice) {
  slice = Slice{0, size};
  if (!range.present) {
    res.status = 200;
    return true;
  }
  if (range.suffix) {
    slice.length = std::min<uint64_t>(range.last, size);
    slice.first = size - slice.length;
  } else {
    slice.first = range.first;
  }
  if (slice.first >= size || (range.suffix && slice.length == 0)) {
    res.set_header("Content-Range", "bytes */" + std::to_string(size));
    Answer(res, 416, kTextType, "");
    return false;
  }
  if (!range.suffix) {
    slice.length = range.toEnd ? size - slice.first : std::min(range.last, size - 1) - slice.first + 1;
  }
  uint64_t shift = 0;
  if (faults.TakeShift(shift)) {
    shift = std::min(shift, slice.length - 1);
    slice.first += shift;
    slice.length -= shift;
  }
  res.set_header("Content-Range", "bytes " + std::to_string(slice.first) + "-" +
                                      std::to_string(slice.first + slice.length - 1) + "/" + std::to_string(size));
  res.status = 206;
  return true;
}

// The faults that bend the body of one file answer, each taken once for it.
struct BodyFaults {
  bool cut = false;
  uint64_t cutAfter = 0;
  bool corrupt = false;
  bool stall = false;
  uint64_t stallAfter = 0;
  int stallMs = 0;
  uint64_t throttle = 0;
};

BodyFaults TakeBodyFaults(FaultState& faults, uint64_t throttle, uint64_t length, bool clientFile,
                          const std::string& listPath) {
  BodyFaults taken;
  taken.cutAfter = length;
  taken.cut = faults.TakeCut(length, taken.cutAfter);
  taken.corrupt = clientFile && faults.TakeCorrupt(listPath);
  taken.stallAfter = length;
  taken.stall = faults.TakeStall(length, taken.stallAfter, taken.stallMs);
  taken.throttle = throttle;
  return taken;
}

// One flipped byte in every 4 KiB of the file, the first one included, so
// that any file of any size arrives with a wrong checksum. bytes holds the
// file's bytes from offset at.
void Corrupt(char* bytes, uint64_t at, uint64_t count) {
  for (uint64_t pos = at; pos < at + count; ++pos) {
    if (pos % 4096 == 0) bytes[pos - at] = static_cast<char>(~bytes[pos - at]);
  }
}

// Sends the slice piece by piece, committing the faults on the way.
void ProvideBody(httplib::Response& res, std::shared_ptr<std::ifstream> in, Slice slice, BodyFaults faults) {
  const auto started = Clock::now();
  const uint64_t length = slice.length;
  // Small pieces under a throttle keep the pace even; large ones otherwise.
  const size_t piece =
      faults.throttle > 0 ? static_cast<size_t>(std::clamp<uint64_t>(faults.throttle / 20, 1, 65536)) : 262144;
  // One buffer for the whole answer: a fresh one per piece would cost a
  // mapping, its page faults and its zeroing every 256 KiB.
  auto buffer = std::make_shared<std::string>();
  res.set_content_provider("application/octet-stream", [=](size_t offset, httplib::DataSink& sink) {
    if (offset >= length) {
      sink.done();
      return true;
    }
    if (faults.cut && offset >= faults.cutAfter) return false;  // drops the connection
    if (faults.stall && offset >= faults.stallAfter) {
      std::this_thread::sleep_for(std::chrono::milliseconds(faults.stallMs));
      return false;
    }
    uint64_t want = std::min<uint64_t>(piece, length - offset);
    if (faults.cut) want = std::min<uint64_t>(want, faults.cutAfter - offset);
    if (faults.stall) want = std::min<uint64_t>(want, faults.stallAfter - offset);
    buffer->resize(static_cast<size_t>(want));
    char* bytes = buffer->data();
    in->seekg(static_cast<std::streamoff>(slice.first + offset));
    in->read(bytes, static_cast<std::streamsize>(want));
    if (static_cast<uint64_t>(in->gcount()) != want) return false;
    if (faults.corrupt) Corrupt(bytes, slice.first + offset, want);
    if (!sink.write(bytes, static_cast<size_t>(want))) return false;
    CountBodyBytes(want);
    if (faults.throttle > 0) {
      const auto due = started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                     static_cast<double>(offset + want) / faults.throttle));
      std::this_thread::sleep_until(due);
    }
    return true;
  });
}

}  // namespace

FileServer::FileServer(fs::path site, FaultState& faults) : site_(std::move(site)), faults_(faults) {}

void FileServer::Route(httplib::Server& server) {
  server.Get("/api/file", [this](const httplib::Request& req, httplib::Response& res) {
    std::string listPath;
    if (!ClientFileListPath(req.target, listPath) || listPath.empty()) {
      return Answer(res, 400, kTextType, "the n parameter is not a file token\n");
    }
    // Objects are named in lower case; anything else in h finds none and
    // falls back to the name, as it does at a static web server.
    const std::string md5 = QueryValue(req.target, "h");
    fs::path object;
    if (IsMd5Hex(md5) && ResolveInside(SiteObjectsDir(site_), md5, object) == Resolve::Ok) {
      return ServeFile(object, listPath, req, res, true);
    }
    ServeFrom(SiteClientDir(site_), listPath, req, res, true);
  });
  // The block index of an object, for launchers that patch; only ever by
  // the MD5 (an index describes one content), so no name reaches the disk.
  server.Get("/api/blocks", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string md5 = QueryValue(req.target, "h");
    fs::path index;
    if (!IsMd5Hex(md5) || ResolveInside(SiteObjectsDir(site_), md5 + kBlockIndexSuffix, index) != Resolve::Ok)
      return Answer(res, 404, kTextType, "no such index\n");
    ServeFile(index, md5 + kBlockIndexSuffix, req, res, false);
  });
  server.Get("/TRN/(.+)", [this](const httplib::Request& req, httplib::Response& res) {
    ServeFrom(SiteUpdateDir(site_), req.matches[1].str(), req, res, false);
  });
}

void FileServer::ServeFrom(const fs::path& root, const std::string& relative, const httplib::Request& req,
                           httplib::Response& res, bool clientFile) {
  fs::path file;
  switch (ResolveInside(root, relative, file)) {
    case Resolve::Refused:
      return Answer(res, 403, kTextType, "refused: the path leaves the served folder\n");
    case Resolve::NotFound:
      return Answer(res, 404, kTextType, "no such file\n");
    case Resolve::Ok:
      break;
  }
  ServeFile(file, relative, req, res, clientFile);
}

void FileServer::ServeFile(const fs::path& file, const std::string& faultName, const httplib::Request& req,
                           httplib::Response& res, bool clientFile) {
  std::error_code ec;
  const uint64_t size = fs::file_size(file, ec);
  auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
  if (ec || !*in) return Answer(res, 500, kTextType, "cannot read the file\n");

  const FaultRules rules = faults_.Snapshot();
  ByteRange range;
  if (req.has_header("Range") && !rules.ignoreRange) range = ParseRange(req.get_header_value("Range"));
  res.set_header("Accept-Ranges", rules.ignoreRange ? "none" : "bytes");
  Slice slice;
  if (!AnswerRange(range, size, faults_, res, slice)) return;
  res.set_header("Content-Length", std::to_string(slice.length));
  ProvideBody(res, std::move(in), slice, TakeBodyFaults(faults_, rules.throttle, slice.length, clientFile, faultName));
}

}  // namespace tarn::tools

#include <cctype>
#include <charconv>
#include <string>
#include <algorithm>

#include "platform/download.h"
#include "platform/output_file.h"
#include "platform/windows/winhttp_exchange.h"

namespace tarn {
namespace {

constexpr size_t kDefaultPiece = 64 * 1024;

bool StartsWithNoCase(std::string_view text, std::string_view lowerPrefix) {
  if (text.size() < lowerPrefix.size()) return false;
  for (size_t i = 0; i < lowerPrefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != lowerPrefix[i]) return false;
  return true;
}

// "bytes FIRST-LAST/SIZE" gives FIRST; any other form, including the
// "bytes */SIZE" of a 416, gives -1.
int64_t RangeFirst(std::string_view value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  if (!StartsWithNoCase(value, "bytes")) return -1;
  value.remove_prefix(5);
  if (value.empty() || (value.front() != ' ' && value.front() != '\t')) return -1;
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  int64_t first = -1;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), first);
  if (ec != std::errc() || end == value.data() + value.size() || *end != '-' || first < 0) return -1;
  return first;
}

}  // namespace

StreamEnd StreamGet(const StreamRequest& request, const StreamSink& sink) {
  using Step = WinHttpExchange::Step;
  WinHttpExchange x;
  if (!x.Open({.host = request.host,
               .port = request.port,
               .secure = request.secure,
               .method = "GET",
               .target = request.target,
               .userAgent = request.userAgent,
               .resolveMs = static_cast<int>(request.resolveMs),
               .connectMs = static_cast<int>(request.connectMs),
               .sendMs = static_cast<int>(request.stallMs),
               .receiveMs = static_cast<int>(request.stallMs)}))
    return StreamEnd::Failed;
  if (request.rangeFrom > 0 && !x.AddHeader(L"Range: bytes=" + std::to_wstring(request.rangeFrom) + L"-"))
    return StreamEnd::Failed;

  // Asked while a step waits on the network, so a pause or stop never
  // waits for the next piece.
  const WinHttpExchange::Poll idle = [&sink] { return !sink.idle || sink.idle(); };
  switch (x.Send({}, {}, idle)) {
    case Step::Done:
      break;
    case Step::Stopped:
      return StreamEnd::Cancelled;
    case Step::Failed:
      return x.error() == ERROR_WINHTTP_INVALID_SERVER_RESPONSE ? StreamEnd::BadReply : StreamEnd::Failed;
  }

  StreamHead head;
  head.status = x.Status();
  if (head.status == 0) return StreamEnd::BadReply;
  if (std::string range; x.Header(WINHTTP_QUERY_CONTENT_RANGE, range)) head.rangeFirst = RangeFirst(range);
  if (sink.head && !sink.head(head)) return StreamEnd::Cancelled;

  const int64_t announced = x.ContentLength();
  int64_t received = 0;
  const size_t largestPiece = request.bufferBytes > 0 ? request.bufferBytes : kDefaultPiece;
  for (;;) {
    if (!idle()) return StreamEnd::Cancelled;
    DWORD available = 0;
    const Step asked = x.Available(available, idle);
    if (asked == Step::Stopped) return StreamEnd::Cancelled;
    if (asked == Step::Failed) return StreamEnd::Failed;
    if (available == 0) break;
    std::string_view piece;
    const Step read = x.Read(static_cast<DWORD>(std::min<size_t>(available, largestPiece)), piece, idle);
    if (read == Step::Stopped) return StreamEnd::Cancelled;
    if (read == Step::Failed || piece.empty()) return StreamEnd::Failed;
    received += static_cast<int64_t>(piece.size());
    if (sink.data && !sink.data(piece)) return StreamEnd::Cancelled;
  }
  // A connection that closes early can read as a clean end of the body.
  if (announced >= 0 && received < announced) return StreamEnd::Failed;
  return StreamEnd::Complete;
}

// FlushFileBuffers flushes one file; there is no cheaper way to flush many.
void CommitOutputFiles(OutputFile* const* files, size_t count, WriteStatus* results) {
  for (size_t i = 0; i < count; ++i) results[i] = CommitOutputFile(*files[i]);
}

}  // namespace tarn

// The downloader's reading of an answer's head: the Content-Range value, the
// verdict on status, range and the ".part" file's offset, and the wait a
// Retry-After value asks for.
#include <algorithm>
#include <cstring>
#include <string>

#include "download/session.h"
#include "fuzz.h"
#include "platform/http.h"
#include "service/call.h"

using namespace tarn;
using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t status = 0;
  uint64_t offset = 0;
  if (size >= 12) {
    std::memcpy(&status, data, 4);
    std::memcpy(&offset, data + 4, 8);
    status %= 1000;
  }
  const std::string_view value = fuzz::Bytes(data, size).substr(size >= 12 ? 12 : 0);
  const int64_t first = ContentRangeFirst(value).value_or(-1);
  Check(first >= -1, "a range start is a position or -1");
  if (first >= 0) {
    const std::string text(value);
    Check(text.find('-') != std::string::npos, "a range start comes with its dash");
  }
  // The same bytes as a Retry-After at a "now" of the offset's bits.
  const int64_t asked = RetryAfterSeconds(value, static_cast<int64_t>(offset >> 1)).value_or(-1);
  Check(asked >= -1 && asked <= 86400, "a wait is none or at most a day");
  for (const int64_t own : {int64_t{0}, int64_t{2}, int64_t{4}}) {
    const int64_t wait = ServiceWaitSeconds(asked, own);
    Check(wait >= own && wait <= std::max(own, kLongestServiceWaitSeconds), "a wait keeps its bound");
  }
  for (const uint32_t s : {status, 200u, 206u, 416u}) {
    const DownloadHead verdict = JudgeDownloadHead(s, first, offset);
    if (s == 206) {
      const bool continues = first >= 0 && static_cast<uint64_t>(first) == offset;
      Check(verdict == (continues ? DownloadHead::Body : DownloadHead::WrongRange), "a 206 must continue at the offset");
    } else if (s == 200) {
      Check(verdict == DownloadHead::Body, "a 200 is the whole file");
    } else if (s == 416) {
      Check(verdict == DownloadHead::NothingAfterOffset, "a 416 has nothing after the offset");
    } else {
      Check(verdict == DownloadHead::Refused, "any other status is refused");
    }
  }
  return 0;
}

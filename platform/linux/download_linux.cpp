#include <curl/curl.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cctype>
#include <string>

#include "platform/download.h"
#include "platform/http.h"
#include "platform/linux/curl_linux.h"
#include "platform/output_file.h"

namespace tarn {
namespace {

struct Transfer {
  const StreamSink& sink;
  CURL* easy;
  int64_t rangeFirst = -1;
  bool headDelivered = false;
  bool cancelled = false;
};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

// Hands the head to the caller once. False when the caller wants no body.
bool DeliverHead(Transfer& t) {
  if (t.headDelivered) return true;
  t.headDelivered = true;
  long status = 0;
  if (curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status < 0) status = 0;
  StreamHead head;
  head.status = static_cast<uint32_t>(status);
  head.rangeFirst = t.rangeFirst;
  if (t.sink.head && !t.sink.head(head)) {
    t.cancelled = true;
    return false;
  }
  return true;
}

size_t OnHeader(char* buffer, size_t size, size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  const std::string_view line(buffer, size * count);
  // Every status line starts a new response (an interim 100 comes first),
  // so only the last response's Content-Range counts.
  if (StartsWithNoCase(line, "http/")) t.rangeFirst = -1;
  if (StartsWithNoCase(line, "content-range:")) t.rangeFirst = ContentRangeFirst(line.substr(14));
  return size * count;
}

size_t OnBody(char* buffer, size_t size, size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  if (!DeliverHead(t)) return 0;
  if (t.sink.data && !t.sink.data(std::string_view(buffer, bytes))) {
    t.cancelled = true;
    return 0;  // any count but the one offered aborts the transfer
  }
  return bytes;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& t = *static_cast<Transfer*>(user);
  if (t.sink.idle && !t.sink.idle()) {
    t.cancelled = true;
    return 1;
  }
  return 0;
}

// Bytes waiting on a kept connection between two exchanges can only be the
// rest of an answer that was longer than its framing said (a body past its
// Content-Length, say). The next answer would be read from them, so such a
// connection is closed rather than used again.
bool HoldsStrayBytes(CURL* easy) {
  curl_socket_t fd = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &fd) != CURLE_OK || fd == CURL_SOCKET_BAD) return false;
  char byte = 0;
  return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

StreamEnd Outcome(Transfer& t, CURLcode code) {
  if (t.cancelled) return StreamEnd::Cancelled;
  switch (code) {
    case CURLE_OK:
      // A response without a body never reached the body handler.
      return DeliverHead(t) ? StreamEnd::Complete : StreamEnd::Cancelled;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:  // what curl says to an HTTP/0.9 answer
      return StreamEnd::BadReply;
    default:
      return StreamEnd::Failed;
  }
}

}  // namespace

StreamEnd StreamGet(const StreamRequest& request, const StreamSink& sink) {
  if (RefusedInClear(request.host, request.secure)) return StreamEnd::Failed;
  // The thread's kept handle: the next file of a task goes out on the
  // connection this one leaves open, without a new handshake or slow start.
  CURL* e = KeptEasy();
  // The rest of an overlong answer may have come after that answer ended.
  if (e && HoldsStrayBytes(e)) {
    ReleaseKeptEasy();
    e = KeptEasy();
  }
  if (!e) return StreamEnd::Failed;
  Transfer t{sink, e};

  const std::string range = std::to_string(request.rangeFrom) + "-";
  // curl offers "Accept: */*" on its own; the request carries no accept list.
  HeaderList headers(curl_slist_append(nullptr, "Accept:"));
  const long stallSeconds = std::max<long>(1, static_cast<long>((request.stallMs + 999) / 1000));

  CurlBasics basics;
  basics.url = ServiceUrl(request.host, request.port, request.secure, request.target);
  basics.secure = request.secure;
  basics.userAgent = request.userAgent;
  basics.headers = headers.get();
  basics.connectMs = static_cast<long>(request.resolveMs) + request.connectMs;
  if (!headers || !ApplyBasics(e, basics)) return StreamEnd::Failed;
  curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, stallSeconds);
  if (request.bufferBytes > 0) curl_easy_setopt(e, CURLOPT_BUFFERSIZE, static_cast<long>(request.bufferBytes));
  if (request.rangeFrom > 0) curl_easy_setopt(e, CURLOPT_RANGE, range.c_str());
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(e, CURLOPT_XFERINFODATA, &t);
  curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);

  const CURLcode code = curl_easy_perform(e);
  const StreamEnd end = Outcome(t, code);
  if (HoldsStrayBytes(e)) ReleaseKeptEasy();
  return end;
}

void CommitOutputFiles(OutputFile* const* files, size_t count, WriteStatus* results) {
  if (count == 1) {
    results[0] = CommitOutputFile(*files[0]);
    return;
  }
  const auto statusOf = [](int error) {
    return error == ENOSPC || error == EDQUOT ? WriteStatus::DiskFull : WriteStatus::Failed;
  };
  int anyFd = -1;
  for (size_t i = 0; i < count; ++i) {
    if (!files[i]->isOpen()) continue;
    anyFd = static_cast<int>(files[i]->handle());
    sync_file_range(anyFd, 0, 0, SYNC_FILE_RANGE_WRITE);
  }
  // One flush of the file system covers every file's data and size, where
  // a file-by-file fdatasync would wait for the disk (and flush its cache)
  // once per file. Since Linux 5.8 syncfs reports a failed write-back.
  WriteStatus together = WriteStatus::Ok;
  if (anyFd >= 0 && syncfs(anyFd) != 0) together = statusOf(errno);
  for (size_t i = 0; i < count; ++i) {
    if (!files[i]->isOpen()) {
      results[i] = WriteStatus::Failed;
      continue;
    }
    const int fd = static_cast<int>(files[i]->release());
    results[i] = together;
    // Waiting on the file's own range costs nothing once syncfs has
    // written it, and reports a write-back error that belongs to this file.
    if (results[i] == WriteStatus::Ok &&
        sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) != 0)
      results[i] = statusOf(errno);
    if (close(fd) != 0 && results[i] == WriteStatus::Ok) results[i] = statusOf(errno);
  }
}

}  // namespace tarn

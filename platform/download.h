#pragma once
// A streaming HTTP GET for the resumable downloader: the body is handed out
// piece by piece as it arrives, never held whole, and the caller can end the
// transfer between two pieces. Calls on one thread share a kept connection:
// when the previous call on this thread ended with the whole response and
// the server left the connection open, the next request to the same host
// and port goes out on it (ReleaseThreadState closes it); a connection on
// which bytes wait past the end of the last answer (a body longer than its
// Content-Length) is closed instead, so the next answer is read clean. No proxy is ever
// used, whatever the environment says, and redirects are never followed (a
// 3xx is handed to head() as its own status). The connection set-up is the
// one SendHttpRequest uses.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tarn {

struct StreamRequest {
  std::string host;  // a literal address or a name
  uint16_t port = 0;
  bool secure = false;  // TLS, checked as for HttpRequest; plain only to loopback
  std::string target;        // path and query, sent as they stand
  uint64_t rangeFrom = 0;    // 0 sends no Range header
  std::string userAgent;
  uint32_t resolveMs = 0;    // the connect phase may take resolveMs + connectMs
  uint32_t connectMs = 0;
  uint32_t stallMs = 0;      // the longest time without a single byte moving
  size_t bufferBytes = 0;    // the largest piece handed to data()
};

// What is known of the response once its header has arrived.
struct StreamHead {
  uint32_t status = 0;
  // First byte position of a Content-Range header of the form
  // "bytes FIRST-LAST/SIZE"; -1 when the header is missing or unreadable.
  int64_t rangeFirst = -1;
};

// The caller's side of a transfer. Any handler returning false ends the
// transfer at once with StreamEnd::Cancelled. The handlers run on the
// calling thread.
struct StreamSink {
  // Called once, before the first body byte (or after the whole response
  // when the body is empty).
  std::function<bool(const StreamHead&)> head;
  // Called with every piece of the body in order.
  std::function<bool(std::string_view)> data;
  // Polled while waiting for the network, at least once a second, so a
  // pause or stop does not wait for the next piece.
  std::function<bool()> idle;
};

// FIRST of a Content-Range value of the form "bytes FIRST-LAST/SIZE"
// (blanks around "bytes" allowed, the unit in any case); -1 for any other
// form, including the "bytes */SIZE" of a 416. Pure text work, shared by
// every backend.
int64_t ContentRangeFirst(std::string_view value);

enum class StreamEnd {
  Complete,   // the whole response arrived
  Cancelled,  // a handler asked to stop
  BadReply,   // the server answered something that is not HTTP
  Failed,     // no connection, a time-out, or the response broke off
};

StreamEnd StreamGet(const StreamRequest& request, const StreamSink& sink);

class OutputFile;
enum class WriteStatus;

// CommitOutputFile for several finished files at once: each one's data is
// on the disk and each file closed when this returns, and results[i] says
// how files[i] fared. The backend may flush them together, which costs about
// one wait for the disk instead of one per file (on Linux: the writes start
// for all, then one flush of the file system that holds them, which also
// writes back whatever else is waiting on it). A file that is not open
// fails.
void CommitOutputFiles(OutputFile* const* files, size_t count, WriteStatus* results);

}  // namespace tarn

#pragma once
// Faults the reference service can be told to commit, so that tests can see
// how the launcher copes with a bad network or a bad server. Each may be
// limited to the first N responses it applies to by ending its value with
// "*N" (for example --cut-after 1000*1).
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::tools {

struct FaultRules {
  // Close the connection after this many body bytes of a file answer.
  int64_t cutAfter = -1;
  int cutTimes = -1;  // -1: every time
  // Answer 200 with the whole file even when a range was asked for.
  bool ignoreRange = false;
  // Answer a fixed status for a request path, a whole request target, or the
  // list path of a file request.
  struct Status {
    std::string match;
    int code = 0;
    int times = -1;
  };
  std::vector<Status> statuses;
  // The Retry-After value sent with every status above (seconds or an HTTP
  // date); empty: none.
  std::string retryAfter;
  // Flip bytes of a file in transit (list path, or "*" for every file), so
  // its size is right and its checksum wrong.
  struct Corrupt {
    std::string path;
    int times = -1;
  };
  std::vector<Corrupt> corrupts;
  // Answers that never end, for a request path or whole target: an endless
  // body of 200, one byte every everyMs milliseconds (a trickle that no
  // stall limit catches), or a 307 to the same target on another port of
  // the loopback.
  struct Endless {
    std::string match;
    int times = -1;
  };
  std::vector<Endless> endless;
  struct Trickle {
    std::string match;
    int everyMs = 0;
    int times = -1;
  };
  std::vector<Trickle> trickles;
  struct Redirect {
    std::string match;
    int port = 0;
    int times = -1;
  };
  std::vector<Redirect> redirects;
  // Answer a range request 206 from this many bytes past the asked start,
  // the Content-Range saying so: a server that continues elsewhere.
  int64_t shiftRange = 0;
  int shiftTimes = -1;
  // After this many body bytes of a file answer, send nothing for stallMs,
  // then close the connection: a server that hangs mid-file.
  int64_t stallAfter = -1;
  int stallMs = 0;
  int stallTimes = -1;
  // Limit file answers to this many bytes per second.
  uint64_t throttle = 0;
  // Wait this long before answering any request.
  int delayMs = 0;
};

// Reads fault flags ("--cut-after N", "--ignore-range", "--status
// MATCH=CODE", "--retry-after VALUE", "--corrupt PATH", "--throttle BYTES_PER_SEC", "--delay MS",
// "--endless MATCH", "--trickle MATCH=MS", "--redirect MATCH=PORT",
// "--shift-range BYTES", "--stall-after BYTES=MS",
// also written --flag=value) from args starting at i. Stops at the first
// argument that is not a fault flag and leaves i there. False, with error,
// for a fault flag with a bad value.
bool ParseFaultFlag(const std::vector<std::string>& args, size_t& i, FaultRules& rules, bool& matched, std::string& error);
// The same flags as one text, separated by white space; "double quotes"
// keep a value with spaces together.
bool ParseFaultText(std::string_view text, FaultRules& rules, std::string& error);
std::string DescribeFaults(const FaultRules& rules);

// The faults in force, shared by the request threads. Each "take" answers
// whether the fault applies to this response and uses up one of its times.
class FaultState {
 public:
  void Replace(FaultRules rules);
  FaultRules Snapshot() const;
  int TakeStatus(std::string_view path, std::string_view target, std::string_view listPath);  // 0: none
  bool TakeCut(uint64_t bodyLength, uint64_t& cutAfter);
  bool TakeCorrupt(std::string_view listPath);
  bool TakeShift(uint64_t& shift);
  bool TakeStall(uint64_t bodyLength, uint64_t& stallAfter, int& stallMs);
  // The answer that replaces the normal one, if any of these faults applies.
  struct Replacement {
    enum Kind { None, Endless, Trickle, Redirect } kind = None;
    int value = 0;  // milliseconds between bytes, or the port
  };
  Replacement TakeReplacement(std::string_view path, std::string_view target);

 private:
  mutable std::mutex lock_;
  FaultRules rules_;
};

}  // namespace tarn::tools

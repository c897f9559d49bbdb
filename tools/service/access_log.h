#pragma once
// The service's access log: one line per request, flushed at once so that a
// test can read it while the service runs.
#include <httplib.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace tarn::tools {

class AccessLog {
 public:
  AccessLog() = default;
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;
  ~AccessLog();

  // A file, appended to, or "-" for standard output.
  bool Open(const std::string& where);
  // Method, target, status, body bytes sent, Range or "-".
  void Write(const httplib::Request& req, int status, uint64_t bytes);

 private:
  std::mutex lock_;
  FILE* file_ = nullptr;
  bool owned_ = false;
};

}  // namespace tarn::tools

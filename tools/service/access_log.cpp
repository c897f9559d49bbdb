#include "tools/service/access_log.h"

namespace tarn::tools {

AccessLog::~AccessLog() {
  if (owned_) std::fclose(file_);
}

bool AccessLog::Open(const std::string& where) {
  if (where == "-") {
    file_ = stdout;
    return true;
  }
  file_ = std::fopen(where.c_str(), "a");
  owned_ = file_ != nullptr;
  return owned_;
}

void AccessLog::Write(const httplib::Request& req, int status, uint64_t bytes) {
  const std::string range = req.has_header("Range") ? req.get_header_value("Range") : "-";
  std::lock_guard guard(lock_);
  std::fprintf(file_, "%s %s %d %llu %s\n", req.method.c_str(), req.target.c_str(), status,
               static_cast<unsigned long long>(bytes), range.c_str());
  std::fflush(file_);
}

}  // namespace tarn::tools

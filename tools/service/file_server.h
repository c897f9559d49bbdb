#pragma once
// The service's file server: the update documents and single client files,
// with byte ranges, bent by the faults in force.
#include <httplib.h>

#include <filesystem>

#include "tools/service/faults.h"

namespace tarn::tools {

class FileServer {
 public:
  FileServer(std::filesystem::path site, FaultState& faults);
  // GET /api/file?n=TOKEN (a client file) and GET /TRN/... (the update
  // documents).
  void Route(httplib::Server& server);

 private:
  void ServeFrom(const std::filesystem::path& root, const std::string& relative, const httplib::Request& req,
                 httplib::Response& res, bool clientFile);

  const std::filesystem::path site_;
  FaultState& faults_;
};

}  // namespace tarn::tools

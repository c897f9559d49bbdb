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
  // GET /api/file?n=TOKEN[&h=MD5] (a client file: with h, its bytes of
  // that MD5 from objects/ when the site keeps them, else the file of
  // client/ the token names) and GET /TRN/... (the update documents).
  void Route(httplib::Server& server);

 private:
  void ServeFrom(const std::filesystem::path& root, const std::string& relative, const httplib::Request& req,
                 httplib::Response& res, bool clientFile);
  // faultName: the list path the faults of a client file are matched with.
  void ServeFile(const std::filesystem::path& file, const std::string& faultName, const httplib::Request& req,
                 httplib::Response& res, bool clientFile);

  const std::filesystem::path site_;
  FaultState& faults_;
};

}  // namespace tarn::tools

#pragma once
// The reference operator service: the account service, news, tickets and
// the cabinet page, the update documents and single client files, over
// plain HTTP, with an access log and injectable faults.
#include <filesystem>
#include <string>

#include "tools/service/faults.h"

namespace tarn::tools {

struct ServiceConfig {
  std::filesystem::path site;
  std::string host = "127.0.0.1";
  int port = 8090;                   // 0: any free port (see readyFile)
  std::string accessLog = "-";       // a file, or "-" for standard output
  std::filesystem::path readyFile;   // gets the port once connections are accepted
  double ticketTtlSeconds = 60;
  bool control = false;              // the /control endpoints for tests
  FaultRules faults;
};

// Serves until SIGINT or SIGTERM. Returns the process exit code.
int RunService(const ServiceConfig& config);

}  // namespace tarn::tools

#pragma once
// The demo site: a stand-in game client of a few hundred files, its signed
// list and build number, demo accounts with characters and news, so that the
// launcher can be shown and tested end to end without a real operator.
#include <cstdint>
#include <filesystem>
#include <string>

namespace tarn::tools {

struct DemoOptions {
  std::filesystem::path site;
  std::string privatePem;
  int build = 3;
  uint64_t sizeMib = 50;  // total size of the client, roughly
  int files = 300;        // number of client files, roughly
  uint64_t seed = 1;      // the same seed makes the same bytes
  bool force = false;     // replace an existing demo site
};

struct DemoSummary {
  size_t files = 0;
  uint64_t bytes = 0;
};

bool MakeDemoSite(const DemoOptions& options, DemoSummary& summary, std::string& error);

}  // namespace tarn::tools

#pragma once
// tarn-publish launcher: the signed record of a new launcher and its files,
// under the site's TRN/launcher/ (client/launcher_release.h has the format).
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tarn::tools {

struct LauncherPublish {
  std::filesystem::path site;
  std::string privatePem;
  std::string version;
  std::filesystem::path windowsFile;  // the installer; empty for none
  std::filesystem::path linuxFile;    // the .deb; empty for none
  std::string package = "tarn-launcher";
  int expiresDays = 30;
  std::optional<int32_t> serial;  // the next after the site's last by default
  int64_t now = 0;                // seconds since 1970
};

std::filesystem::path SiteLauncherDir(const std::filesystem::path& site);

// The serial of the record the site publishes now, -1 without one.
int32_t PublishedLauncherSerial(const std::filesystem::path& site);

// Copies the files beside the record first, then replaces the record, so a
// launcher that reads it finds its files. Refused: a serial not above the
// site's, a version the launcher cannot read, no file, a name that is not
// plain. serial receives the one written.
bool PublishLauncher(const LauncherPublish& publish, int32_t& serial, std::string& error);

}  // namespace tarn::tools

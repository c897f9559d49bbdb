#include "tools/publish/launcher_release.h"

#include <algorithm>
#include <string_view>
#include <system_error>

#include "bridge/base64.h"
#include "client/launcher_release.h"
#include "platform/crypto.h"
#include "tools/common/crypto.h"
#include "tools/common/site.h"

namespace fs = std::filesystem;

namespace tarn::tools {
namespace {

constexpr int64_t kDay = 24 * 60 * 60;

// Describes file for platform in release (its name, size and SHA-256).
bool Describe(std::string_view platform, const fs::path& file, LauncherRelease& release, std::string& error) {
  std::error_code ec;
  const uint64_t size = fs::file_size(file, ec);
  Sha256Digest digest{};
  if (ec || !fs::is_regular_file(file, ec) || !Sha256OfFile(file.string(), digest)) {
    error = "cannot read " + file.string();
    return false;
  }
  release.files.push_back({std::string(platform), file.filename().string(), size,
                           Sha256DigestHex(digest)});
  return true;
}

// Copies file beside the record under its own name, whole or not at all.
bool CopyBeside(const fs::path& dir, const fs::path& file, std::string& error) {
  std::error_code ec;
  const fs::path copy = dir / file.filename();
  if (fs::equivalent(file, copy, ec)) return true;
  const fs::path temporary = dir / ("." + file.filename().string() + ".new");
  fs::copy_file(file, temporary, fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::rename(temporary, copy, ec);
  if (ec) {
    fs::remove(temporary, ec);
    error = "cannot copy " + file.string() + " to " + copy.string();
    return false;
  }
  return true;
}

}  // namespace

fs::path SiteLauncherDir(const fs::path& site) { return SiteUpdateDir(site) / "launcher"; }

int32_t PublishedLauncherSerial(const fs::path& site) {
  std::string record;
  if (!ReadWholeFile(SiteLauncherDir(site) / "release", record)) return -1;
  const std::optional<LauncherRelease> parsed =
      ParseLauncherRelease(std::string_view(record).substr(0, record.find(kReleaseSignatureMarker)));
  return parsed ? parsed->serial : -1;
}

bool PublishLauncher(const LauncherPublish& p, int32_t& serial, std::string& error) {
  const int32_t current = PublishedLauncherSerial(p.site);
  serial = p.serial.value_or(std::max(current, 0) + 1);
  // Launchers keep the highest serial they accepted and refuse anything
  // below it: a record under an old number would reach none of them.
  if (serial <= current) {
    error = "the site's record has serial " + std::to_string(current) + "; a new one needs a higher serial";
    return false;
  }
  if (!CompareVersions(p.version, p.version)) {
    error = "--version wants 1 to 4 dot-separated numbers (1.2.0)";
    return false;
  }
  if (p.windowsFile.empty() && p.linuxFile.empty()) {
    error = "name the release file: --windows INSTALLER and/or --linux PACKAGE.deb";
    return false;
  }
  if (p.expiresDays < 1 || p.expiresDays > 3650) {
    error = "--expires-days wants a number of days from 1 to 3650";
    return false;
  }
  LauncherRelease release{p.version, serial, p.now, p.now + p.expiresDays * kDay, p.package, {}};
  if (!p.windowsFile.empty() && !Describe("windows", p.windowsFile, release, error)) return false;
  if (!p.linuxFile.empty() && !Describe("linux", p.linuxFile, release, error)) return false;
  const std::string text = LauncherReleaseText(release);
  // What the launcher would not read is neither signed nor served.
  if (!ParseLauncherRelease(text)) {
    error = "a file name or the package name is not plain (letters, digits, . _ - + ~; no leading dot)";
    return false;
  }
  std::string signature;
  if (!SignRsaSha256(p.privatePem, text, signature, error)) return false;
  const fs::path dir = SiteLauncherDir(p.site);
  std::error_code ec;
  fs::create_directories(dir, ec);
  for (const fs::path& file : {p.windowsFile, p.linuxFile})
    if (!file.empty() && !CopyBeside(dir, file, error)) return false;
  const std::string record = text + std::string(kReleaseSignatureMarker) + "\n" + EncodeBase64(signature) + "\n";
  return WriteFileAtomic(dir / "release", record, error);
}

}  // namespace tarn::tools

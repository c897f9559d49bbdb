#pragma once
// The launcher's own release record: which launcher the operator offers,
// signed with the list's key pair (RSA PKCS #1 v1.5 over SHA-256: the format
// is ours, so MD5 is not inherited), so a mirror or a cache can serve it but
// no one else can write it. The publisher writes it (tarn-publish launcher),
// the launcher checks it here:
//
//   tarn-launcher-release 1
//   version 1.2.0
//   serial 7                       grows with every record the operator signs
//   issued 1765200000              seconds since 1970, UTC
//   expires 1767792000
//   package tarn-launcher          the Linux package's name
//   file windows NAME SIZE SHA256  the installer
//   file linux NAME SIZE SHA256    the .deb a folder copy takes its files from
//   -----BEGIN TARN RELEASE SIGNATURE-----
//   <Base64 of the signature over every byte above the marker>
//
// Served as /TRN/launcher/release; the files it names beside it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/context.h"

namespace tarn {

inline constexpr std::string_view kLauncherReleasePath = "/TRN/launcher/release";
inline constexpr std::string_view kLauncherFilesPath = "/TRN/launcher/";
inline constexpr std::string_view kReleaseHeader = "tarn-launcher-release 1";
inline constexpr std::string_view kReleaseSignatureMarker = "-----BEGIN TARN RELEASE SIGNATURE-----";
// A record is a few hundred bytes; a larger answer is not read.
inline constexpr size_t kLauncherReleaseCapBytes = 16u << 10;
// No launcher's installer or package comes near this.
inline constexpr uint64_t kLargestReleaseFile = 512ull << 20;

struct ReleaseFile {
  std::string platform;  // "windows" or "linux"
  std::string name;      // a plain file name beside the record
  uint64_t size = 0;
  std::string sha256;    // 64 lower-case hex digits
};

struct LauncherRelease {
  std::string version;  // 1 to 4 dot-separated numbers
  int32_t serial = 0;
  int64_t issued = 0;
  int64_t expires = 0;
  std::string package;
  std::vector<ReleaseFile> files;
};

// The text the publisher signs for release (every line, each ending "\n").
std::string LauncherReleaseText(const LauncherRelease& release);

// A name that stays beside the record wherever it is used: no folder, no
// leading dot, nothing a shell or a URL would read otherwise.
bool IsPlainReleaseFileName(std::string_view name);

// The record of a signed text; nothing when a line is malformed, a field
// the launcher needs is missing or given twice, or a file's entry is not a
// plain name with a size and a SHA-256. Lines it does not know are
// skipped, so later records may say more to later launchers.
std::optional<LauncherRelease> ParseLauncherRelease(std::string_view text);

// The text above the marker when the signature below it verifies with the
// key of publicKeyPem; nothing otherwise.
std::optional<std::string> VerifyReleaseSignature(std::string_view body, std::string_view publicKeyPem);

// -1, 0 or 1 as version a is lower than, equal to or higher than b, missing
// parts counting as 0 ("1.2" == "1.2.0"); nothing when either is not 1 to 4
// dot-separated numbers of at most 6 digits.
std::optional<int> CompareVersions(std::string_view a, std::string_view b);

// This launcher's version, from the project's.
std::string_view LauncherVersion();

// What a fetched record means for this launcher.
enum class ReleaseVerdict {
  Newer,         // a newer launcher: offer it
  NotNewer,      // valid, but not newer than this one
  BadSignature,  // no trusted key vouches for it
  Malformed,     // signed, but not a record this launcher reads
  OlderSerial,   // signed, but older than one already accepted: a replay
  Expired,       // signed, but past its expiry
};

struct ReleaseCheck {
  ReleaseVerdict verdict = ReleaseVerdict::BadSignature;
  LauncherRelease release;  // filled for every verdict but BadSignature and Malformed
  bool clockBehind = false;  // the machine's clock is before the record was issued
};

// The record's inputs, beside the answer: the keys trusted, the highest
// serial accepted so far, the time now and this launcher's version.
struct ReleaseCheckInputs {
  std::vector<std::string_view> keys;
  int32_t serialFloor = -1;
  int64_t now = 0;
  std::string_view ownVersion;
};
ReleaseCheck CheckLauncherRelease(std::string_view body, const ReleaseCheckInputs& inputs);

// The built-in keys that may sign a record: the list's one or two.
std::vector<std::string_view> TrustedReleaseKeys();

// The file for platform, or nullptr.
const ReleaseFile* ReleaseFileFor(const LauncherRelease& release, std::string_view platform);

// The highest serial accepted, kept in the data folder (launcher.serial);
// -1 when none was kept.
int32_t ReadReleaseSerialFloor(LauncherContext& ctx);
void RaiseReleaseSerialFloor(LauncherContext& ctx, int32_t serial);

// The words of a refusal for the log.
std::string ReleaseVerdictText(const ReleaseCheck& check);

}  // namespace tarn

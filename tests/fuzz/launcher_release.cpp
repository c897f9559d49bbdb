// The launcher's release record as a mirror or an attacker may serve it:
// the signature check never passes unsigned bytes (no key signs here, so
// every body is BadSignature), and the signed text's parser keeps its
// promises for any text: plain names, bounded sizes, a well-formed version,
// and what it accepts writes back to the same record.
#include <string>

#include "client/launcher_release.h"
#include "fuzz.h"

using namespace tarn;
using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = fuzz::Bytes(data, size);
  const ReleaseCheck check = CheckLauncherRelease(input, {TrustedReleaseKeys(), -1, 0, "1.0"});
  Check(check.verdict == ReleaseVerdict::BadSignature, "nothing unsigned is accepted");

  const std::optional<LauncherRelease> r = ParseLauncherRelease(input);
  if (!r) return 0;
  Check(CompareVersions(r->version, r->version) == 0, "an accepted version compares");
  Check(r->serial >= 0 && r->expires > r->issued, "serial and dates are sane");
  for (const ReleaseFile& f : r->files) {
    Check(f.size > 0 && f.size <= kLargestReleaseFile, "a file's size is bounded");
    Check(f.name.find('/') == std::string::npos && f.name.find('\\') == std::string::npos && !f.name.starts_with("."),
          "a file's name stays beside the record");
    Check(f.sha256.size() == 64, "a file's hash is whole");
  }
  const std::optional<LauncherRelease> again = ParseLauncherRelease(LauncherReleaseText(*r));
  Check(again && LauncherReleaseText(*again) == LauncherReleaseText(*r), "what is read writes back the same");
  return 0;
}

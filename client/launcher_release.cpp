#include "client/launcher_release.h"

#include <charconv>
#include <set>

#include "bridge/base64.h"
#include "bridge/log.h"
#include "bridge/state_file.h"
#include "client/install_record.h"
#include "client/list_key.h"
#include "client/signed_build.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace tarn {
namespace {

// A day: a clock this far before the record's issue is plainly wrong.
constexpr int64_t kClockSlackSeconds = 24 * 60 * 60;
constexpr size_t kLongestName = 128;
constexpr size_t kLongestVersion = 32;

template <typename T>
bool Number(std::string_view text, T& value) {
  if (text.empty() || text.size() > 20 || text.front() == '-' || text.front() == '+') return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// The version's numbers; nothing for anything but 1 to 4 dot-separated
// numbers of 1 to 6 digits.
std::optional<std::vector<uint32_t>> VersionParts(std::string_view text) {
  if (text.empty() || text.size() > kLongestVersion) return std::nullopt;
  std::vector<uint32_t> parts;
  while (true) {
    const size_t dot = text.find('.');
    const std::string_view part = text.substr(0, dot);
    uint32_t value = 0;
    if (part.size() > 6 || part.find_first_not_of("0123456789") != std::string_view::npos || !Number(part, value))
      return std::nullopt;
    parts.push_back(value);
    if (parts.size() > 4) return std::nullopt;
    if (dot == std::string_view::npos) return parts;
    text.remove_prefix(dot + 1);
  }
}


bool Sha256Hex(std::string_view text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  while (!line.empty()) {
    const size_t space = line.find(' ');
    if (space != 0) words.push_back(line.substr(0, space));
    if (space == std::string_view::npos) break;
    line.remove_prefix(space + 1);
  }
  return words;
}

std::string SerialPath(LauncherContext& ctx) { return JoinPath(DataPath(ctx), "launcher.serial"); }

}  // namespace

bool IsPlainReleaseFileName(std::string_view name) {
  if (name.empty() || name.size() > kLongestName || name.front() == '.') return false;
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '_' || c == '-' || c == '+' || c == '~';
    if (!plain) return false;
  }
  return true;
}

std::string LauncherReleaseText(const LauncherRelease& r) {
  std::string text = std::string(kReleaseHeader) + "\nversion " + r.version + "\nserial " + std::to_string(r.serial) +
                     "\nissued " + std::to_string(r.issued) + "\nexpires " + std::to_string(r.expires) + "\n";
  if (!r.package.empty()) text += "package " + r.package + "\n";
  for (const ReleaseFile& f : r.files)
    text += "file " + f.platform + " " + f.name + " " + std::to_string(f.size) + " " + f.sha256 + "\n";
  return text;
}

std::optional<LauncherRelease> ParseLauncherRelease(std::string_view text) {
  if (!text.starts_with(std::string(kReleaseHeader) + "\n")) return std::nullopt;
  text.remove_prefix(kReleaseHeader.size() + 1);
  LauncherRelease r;
  std::set<std::string, std::less<>> seen;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // a cut record
    const std::vector<std::string_view> w = Words(text.substr(0, end));
    text.remove_prefix(end + 1);
    if (w.empty()) continue;
    const std::string_view key = w[0];
    bool ok = true;
    if (key == "file") {
      ReleaseFile f;
      // A file named as the record would be the record itself.
      ok = w.size() == 5 && (w[1] == "windows" || w[1] == "linux") && IsPlainReleaseFileName(w[2]) && w[2] != "release" &&
           Number(w[3], f.size) && f.size > 0 && f.size <= kLargestReleaseFile && Sha256Hex(w[4]) &&
           !ReleaseFileFor(r, w[1]);
      if (!ok) return std::nullopt;
      f.platform = w[1];
      f.name = w[2];
      f.sha256 = w[4];
      r.files.push_back(std::move(f));
      continue;
    }
    const bool known = key == "version" || key == "serial" || key == "issued" || key == "expires" || key == "package";
    if (!known) continue;
    if (w.size() != 2 || !seen.insert(std::string(key)).second) return std::nullopt;
    if (key == "version") {
      ok = VersionParts(w[1]).has_value();
      r.version = w[1];
    } else if (key == "serial") {
      ok = Number(w[1], r.serial) && r.serial >= 0;
    } else if (key == "issued") {
      ok = Number(w[1], r.issued);
    } else if (key == "expires") {
      ok = Number(w[1], r.expires);
    } else {
      ok = IsPlainReleaseFileName(w[1]);
      r.package = w[1];
    }
    if (!ok) return std::nullopt;
  }
  for (const char* needed : {"version", "serial", "issued", "expires"})
    if (!seen.contains(needed)) return std::nullopt;
  if (r.expires <= r.issued) return std::nullopt;
  return r;
}

std::optional<std::string> VerifyReleaseSignature(std::string_view body, std::string_view publicKeyPem) {
  if (body.size() > kLauncherReleaseCapBytes) return std::nullopt;
  const size_t marker = body.find(kReleaseSignatureMarker);
  if (marker == std::string_view::npos) return std::nullopt;
  std::string signature;
  if (!DecodeBase64(body.substr(marker + kReleaseSignatureMarker.size()), signature) || signature.empty())
    return std::nullopt;
  const std::string_view text = body.substr(0, marker);
  if (!VerifyRsaSha256Signature(publicKeyPem, text, signature)) return std::nullopt;
  return std::string(text);
}

std::optional<int> CompareVersions(std::string_view a, std::string_view b) {
  std::optional<std::vector<uint32_t>> x = VersionParts(a), y = VersionParts(b);
  if (!x || !y) return std::nullopt;
  x->resize(4);
  y->resize(4);
  return *x < *y ? -1 : (*x == *y ? 0 : 1);
}

std::string_view LauncherVersion() { return TARN_LAUNCHER_VERSION; }

ReleaseCheck CheckLauncherRelease(std::string_view body, const ReleaseCheckInputs& in) {
  ReleaseCheck check;
  std::optional<std::string> text;
  for (const std::string_view key : in.keys)
    if (!key.empty() && (text = VerifyReleaseSignature(body, key))) break;
  if (!text) return check;
  std::optional<LauncherRelease> release = ParseLauncherRelease(*text);
  if (!release) {
    check.verdict = ReleaseVerdict::Malformed;
    return check;
  }
  check.release = std::move(*release);
  const LauncherRelease& r = check.release;
  // A clock plainly behind cannot make a record expire; one far ahead makes
  // every record expired, which the log then shows with the time it read.
  check.clockBehind = in.now < r.issued - kClockSlackSeconds;
  const std::optional<int> newer = CompareVersions(r.version, in.ownVersion);
  if (r.serial < in.serialFloor)
    check.verdict = ReleaseVerdict::OlderSerial;
  else if (in.now >= r.expires)
    check.verdict = ReleaseVerdict::Expired;
  else
    check.verdict = newer && *newer > 0 ? ReleaseVerdict::Newer : ReleaseVerdict::NotNewer;
  return check;
}

std::vector<std::string_view> TrustedReleaseKeys() { return {kListPublicKeyPem, kSecondListPublicKeyPem}; }

const ReleaseFile* ReleaseFileFor(const LauncherRelease& release, std::string_view platform) {
  for (const ReleaseFile& f : release.files)
    if (f.platform == platform) return &f;
  return nullptr;
}

int32_t ReadReleaseSerialFloor(LauncherContext& ctx) {
  std::string bytes;
  bool oversized = false;
  if (!ReadStateFile(ctx.log, SerialPath(ctx), kBuildFloorLimitBytes, bytes, oversized) || oversized) return -1;
  return ParseBuildFloor(bytes).value_or(-1);
}

void RaiseReleaseSerialFloor(LauncherContext& ctx, int32_t serial) {
  if (serial <= ReadReleaseSerialFloor(ctx)) return;
  MakeFolder(DataPath(ctx));
  if (!ReplaceFileAtomically(SerialPath(ctx), std::to_string(serial) + "\n"))
    LogLine(ctx.log, "не удалось записать %s", SerialPath(ctx).c_str());
}

std::string ReleaseVerdictText(const ReleaseCheck& check) {
  const LauncherRelease& r = check.release;
  switch (check.verdict) {
    case ReleaseVerdict::Newer: return "доступен лаунчер " + r.version;
    case ReleaseVerdict::NotNewer: return "лаунчер " + r.version + " не новее этого";
    case ReleaseVerdict::BadSignature: return "подпись записи не сходится ни с одним ключом лаунчера — запись отвергнута";
    case ReleaseVerdict::Malformed: return "запись подписана, но повреждена — отвергнута";
    case ReleaseVerdict::OlderSerial:
      return "номер записи " + std::to_string(r.serial) + " ниже уже принятого — старая запись отвергнута";
    case ReleaseVerdict::Expired: return "срок записи истёк — отвергнута (проверьте часы компьютера)";
  }
  return {};
}

}  // namespace tarn

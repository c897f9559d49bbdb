#include "platform/http.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>
#include <string>

#include "platform/encoding.h"
#include "platform/proxy.h"

namespace tarn {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A Retry-After beyond this many seconds means the same to every caller.
constexpr int64_t kLongestRetryAfter = 86400;

// Exactly width decimal digits at text[at], or -1.
int Digits(std::string_view text, size_t at, size_t width) {
  if (at + width > text.size()) return -1;
  int value = 0;
  for (size_t i = at; i < at + width; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// The seconds since 1970 of an IMF-fixdate ("Sun, 06 Nov 1994 08:49:37
// GMT"); -1 for anything else. The day's name is not checked against the
// date: it says nothing the date does not.
int64_t ImfFixdate(std::string_view t) {
  static constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (t.size() != 29 || t[3] != ',' || t[4] != ' ' || t[7] != ' ' || t[11] != ' ' || t[16] != ' ' || t[19] != ':' ||
      t[22] != ':' || t.substr(25) != " GMT")
    return -1;
  int month = 0;
  while (month < 12 && kMonths[month] != t.substr(8, 3)) ++month;
  const int day = Digits(t, 5, 2), year = Digits(t, 12, 4);
  const int hour = Digits(t, 17, 2), minute = Digits(t, 20, 2), second = Digits(t, 23, 2);
  if (month == 12 || day < 1 || day > 31 || year < 0 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 60)
    return -1;
  return DaysFromCivil(year, month + 1, day) * 86400 + hour * 3600 + minute * 60 + second;
}

// At most limit bytes of text that is only printable ASCII; anything else
// (controls, line ends, bytes of a broken encoding) becomes '?'.
std::string PrintableAscii(std::string_view text, size_t limit) {
  std::string out;
  for (char c : text.substr(0, limit)) out += c >= 0x20 && c < 0x7f ? c : '?';
  return out;
}

}  // namespace

std::optional<int64_t> RetryAfterSeconds(std::string_view value, int64_t nowUnixSeconds) {
  while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
  while (!value.empty() && (IsBlank(value.back()) || value.back() == '\r' || value.back() == '\n'))
    value.remove_suffix(1);
  if (value.empty()) return std::nullopt;
  if (value.find_first_not_of("0123456789") == std::string_view::npos) {
    int64_t seconds = 0;
    for (const char c : value) {
      seconds = seconds * 10 + (c - '0');
      if (seconds > kLongestRetryAfter) return kLongestRetryAfter;
    }
    return seconds;
  }
  const int64_t at = ImfFixdate(value);
  if (at < 0) return std::nullopt;
  return std::clamp<int64_t>(at - nowUnixSeconds, 0, kLongestRetryAfter);
}

std::optional<int64_t> RetryAfterSecondsNow(std::string_view value) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return RetryAfterSeconds(value, std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

bool IsLoopbackHost(std::string_view host) {
  if (host == "localhost" || host == "::1") return true;
  // Exactly four decimal parts of 0..255, the first 127: "127.1",
  // "127.0.0.1.example.org" or octal and hex spellings are names or
  // addresses a resolver may read otherwise.
  int parts = 0;
  while (parts < 4) {
    const size_t end = host.find('.');
    if ((end == std::string_view::npos) != (parts == 3)) return false;
    const std::string_view part = host.substr(0, end);
    unsigned value = 0;
    const auto [stop, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (part.empty() || part.size() > 3 || ec != std::errc() || stop != part.data() + part.size() || value > 255 ||
        (part.size() > 1 && part.front() == '0') || (parts == 0 && value != 127))
      return false;
    ++parts;
    host.remove_prefix(end == std::string_view::npos ? host.size() : end + 1);
  }
  return true;
}

std::string ProxyRefusalReason(std::string_view proxy, uint32_t status) {
  std::string reason = "прокси " + ProxyShown(proxy) + " не открыл соединение";
  if (status != 0) reason += " (ответ " + std::to_string(status) + ")";
  return reason;
}

std::string RangeValue(const HttpRequest& request) {
  if (request.rangeLength > 0)
    return std::to_string(request.rangeFrom) + "-" + std::to_string(request.rangeFrom + request.rangeLength - 1);
  return request.rangeFrom > 0 ? std::to_string(request.rangeFrom) + "-" : std::string();
}

std::string WireTarget(std::string_view target) {
  const std::string out = PercentEncode(target, [](unsigned char c) { return c > 0x20 && c < 0x7F && c != '#'; });
  return target.empty() || target.front() != '/' ? "/" + out : out;
}

std::optional<int64_t> ContentRangeFirst(std::string_view value) {
  while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
  if (!StartsWithNoCase(value, "bytes")) return std::nullopt;
  value.remove_prefix(5);
  if (value.empty() || !IsBlank(value.front())) return std::nullopt;
  while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
  int64_t first = -1;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), first);
  if (ec != std::errc() || end == value.data() + value.size() || *end != '-' || first < 0) return std::nullopt;
  return first;
}

std::string CertificateReason(CertificateProblem problem, std::string_view detail) {
  std::string reason = "сертификат сервера отклонён: ";
  switch (problem) {
    case CertificateProblem::UnknownAuthority:
      reason += "выдан неизвестным удостоверяющим центром";
      break;
    case CertificateProblem::Expired:
      reason += "истёк или ещё не действует";
      break;
    case CertificateProblem::WrongName:
      reason += "выдан на другое имя";
      break;
    case CertificateProblem::Other:
      reason += "не прошёл проверку";
      break;
  }
  while (!detail.empty() && (detail.back() == '\n' || detail.back() == '\r' || IsBlank(detail.back())))
    detail.remove_suffix(1);
  if (!detail.empty()) reason += " (" + PrintableAscii(detail, 160) + ")";
  return reason;
}

std::string RedirectReason(uint32_t status, std::string_view location) {
  if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) return {};
  while (!location.empty() && IsBlank(location.front())) location.remove_prefix(1);
  // [scheme ":"] "//" authority, cut before the path, query or fragment;
  // anything else is a path on the same server.
  const size_t schemeEnd = location.find_first_not_of(
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+.-");
  std::string_view scheme;
  std::string_view rest = location;
  if (schemeEnd != std::string_view::npos && schemeEnd > 0 && location[schemeEnd] == ':') {
    scheme = location.substr(0, schemeEnd);
    rest = location.substr(schemeEnd + 1);
  }
  std::string where = "этот же сервер";
  if (rest.starts_with("//")) {
    std::string_view authority = rest.substr(2);
    authority = authority.substr(0, authority.find_first_of("/?#\\ \t\r\n"));
    if (const size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    where = (scheme.empty() ? "" : PrintableAscii(scheme, 16) + ":") + "//" + PrintableAscii(authority, 160);
  }
  return "ответ " + std::to_string(status) + " переадресует на " + where + "; переадресации не выполняются";
}

}  // namespace tarn

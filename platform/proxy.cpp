#include "platform/proxy.h"

#include <charconv>
#include <vector>

#include "platform/encoding.h"
#include "platform/http.h"

namespace tarn {
namespace {

constexpr size_t kLongestProxyText = 2048;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerText(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Lower(c);
  return out;
}

bool SameNoCase(std::string_view a, std::string_view b) { return LowerText(a) == LowerText(b); }

bool EndsWithNoCase(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && SameNoCase(text.substr(text.size() - tail.size()), tail);
}

// The pieces of list between any of the separators, empty ones dropped.
std::vector<std::string_view> Split(std::string_view list, std::string_view separators) {
  std::vector<std::string_view> pieces;
  while (!list.empty()) {
    const size_t end = list.find_first_of(separators);
    if (end != 0) pieces.push_back(list.substr(0, end));
    if (end == std::string_view::npos) break;
    list.remove_prefix(end + 1);
  }
  return pieces;
}

// A dotted quad as one number; nothing for anything else.
std::optional<uint32_t> Ipv4(std::string_view text) {
  uint32_t value = 0;
  const std::vector<std::string_view> parts = Split(text, ".");
  if (parts.size() != 4 || text.front() == '.' || text.back() == '.' || text.find("..") != std::string_view::npos)
    return std::nullopt;
  for (std::string_view part : parts) {
    unsigned byte = 0;
    const auto [stop, ec] = std::from_chars(part.data(), part.data() + part.size(), byte);
    if (ec != std::errc() || stop != part.data() + part.size() || part.size() > 3 || byte > 255) return std::nullopt;
    value = value << 8 | byte;
  }
  return value;
}

// An address entry of no_proxy ("10.0.0.0/8", "10.1.2.3") against an
// address host.
bool AddressCovers(std::string_view entry, uint32_t host) {
  const size_t slash = entry.find('/');
  const std::optional<uint32_t> base = Ipv4(entry.substr(0, slash));
  if (!base) return false;
  unsigned bits = 32;
  if (slash != std::string_view::npos) {
    const std::string_view text = entry.substr(slash + 1);
    const auto [stop, ec] = std::from_chars(text.data(), text.data() + text.size(), bits);
    if (text.empty() || ec != std::errc() || stop != text.data() + text.size() || bits > 32) return false;
  }
  const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  return (*base & mask) == (host & mask);
}

std::optional<std::string> Variable(const EnvironmentLookup& env, const char* lower, const char* upper) {
  for (const char* name : {lower, upper}) {
    if (!name) continue;
    std::optional<std::string> value = env(name);
    if (value && !value->empty()) return value;
  }
  return std::nullopt;
}

// '*' stands for any run of characters; the rest compares without case.
bool WildcardMatches(std::string_view pattern, std::string_view text) {
  if (pattern.empty()) return text.empty();
  if (pattern.front() == '*') {
    for (size_t skip = 0; skip <= text.size(); ++skip)
      if (WildcardMatches(pattern.substr(1), text.substr(skip))) return true;
    return false;
  }
  return !text.empty() && Lower(pattern.front()) == Lower(text.front()) &&
         WildcardMatches(pattern.substr(1), text.substr(1));
}

// "%40" read as '@' and so on; a '%' without two hex digits stays itself.
std::string PercentDecoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const int high = text[i] == '%' && i + 2 < text.size() ? HexDigitValue(text[i + 1]) : -1;
    const int low = high >= 0 ? HexDigitValue(text[i + 2]) : -1;
    if (low < 0) {
      out += text[i];
      continue;
    }
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

}  // namespace

std::optional<ProxyParts> ParseProxy(std::string_view text) {
  if (text.empty() || text.size() > kLongestProxyText) return std::nullopt;
  for (unsigned char c : text)
    if (c <= 0x20 || c == 0x7F) return std::nullopt;
  ProxyParts parts;
  if (const size_t colon = text.find("://"); colon != std::string_view::npos) {
    parts.scheme = LowerText(text.substr(0, colon));
    if (parts.scheme.empty()) return std::nullopt;
    text.remove_prefix(colon + 3);
  }
  // A trailing slash is how many settings write a proxy; anything past it
  // is a path no proxy URL has.
  if (const size_t slash = text.find('/'); slash != std::string_view::npos) {
    if (slash + 1 != text.size()) return std::nullopt;
    text.remove_suffix(1);
  }
  if (const size_t at = text.rfind('@'); at != std::string_view::npos) {
    const std::string_view who = text.substr(0, at);
    const size_t colon = who.find(':');
    parts.user = PercentDecoded(who.substr(0, colon));
    if (colon != std::string_view::npos) parts.password = PercentDecoded(who.substr(colon + 1));
    text.remove_prefix(at + 1);
  }
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    parts.host = std::string(text.substr(1, close - 1));
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return std::nullopt;
    if (!rest.empty()) port = rest.substr(1);
  } else {
    const size_t colon = text.find(':');
    parts.host = std::string(text.substr(0, colon));
    if (colon != std::string_view::npos) port = text.substr(colon + 1);
  }
  if (parts.host.empty()) return std::nullopt;
  if (parts.scheme == "http") parts.port = 80;
  if (parts.scheme == "https") parts.port = 443;
  if (!port.empty() || text.ends_with(':')) {
    unsigned value = 0;
    const auto [stop, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || ec != std::errc() || stop != port.data() + port.size() || value == 0 || value > 65535)
      return std::nullopt;
    parts.port = static_cast<uint16_t>(value);
  }
  return parts;
}

std::string ProxyShown(std::string_view text) {
  const std::optional<ProxyParts> parts = ParseProxy(text);
  if (!parts) return {};
  const bool v6 = parts->host.find(':') != std::string::npos;
  return parts->scheme + "://" + (v6 ? "[" + parts->host + "]" : parts->host) + ":" + std::to_string(parts->port);
}

std::optional<std::string> ProxyFromEnvironment(const EnvironmentLookup& env, std::string_view host, bool secure) {
  // curl reads no HTTP_PROXY in capitals: a web server hands a request's
  // "Proxy:" header to its programs under that very name.
  std::optional<std::string> proxy =
      secure ? Variable(env, "https_proxy", "HTTPS_PROXY") : Variable(env, "http_proxy", nullptr);
  if (!proxy) proxy = Variable(env, "all_proxy", "ALL_PROXY");
  if (!proxy) return std::nullopt;
  if (IsLoopbackHost(host)) return std::string();
  if (const std::optional<std::string> bypass = Variable(env, "no_proxy", "NO_PROXY");
      bypass && NoProxyCovers(*bypass, host))
    return std::string();
  return proxy;
}

bool NoProxyCovers(std::string_view list, std::string_view host) {
  if (list == "*") return true;
  if (host.ends_with('.')) host.remove_suffix(1);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty()) return false;
  const std::optional<uint32_t> address = Ipv4(host);
  const bool v6 = host.find(':') != std::string_view::npos;
  for (std::string_view entry : Split(list, ", \t")) {
    if (address) {
      if (AddressCovers(entry, *address)) return true;
      continue;
    }
    if (entry.size() > 2 && entry.front() == '[' && entry.back() == ']') entry = entry.substr(1, entry.size() - 2);
    if (v6) {
      if (SameNoCase(entry, host)) return true;
      continue;
    }
    if (entry.front() == '.') entry.remove_prefix(1);
    if (entry.ends_with('.')) entry.remove_suffix(1);
    if (entry.empty()) continue;
    if (SameNoCase(entry, host)) return true;
    if (host.size() > entry.size() && host[host.size() - entry.size() - 1] == '.' && EndsWithNoCase(host, entry))
      return true;
  }
  return false;
}

std::string ProxyFromWinHttpList(std::string_view list, bool secure) {
  const std::string_view wanted = secure ? "https" : "http";
  std::string_view plain;
  for (std::string_view entry : Split(list, "; \t")) {
    const size_t equals = entry.find('=');
    if (equals == std::string_view::npos) {
      if (plain.empty()) plain = entry;
    } else if (SameNoCase(entry.substr(0, equals), wanted) && equals + 1 < entry.size()) {
      plain = entry.substr(equals + 1);
      break;
    }
  }
  if (plain.empty()) return {};
  return plain.find("://") == std::string_view::npos ? "http://" + std::string(plain) : std::string(plain);
}

bool WinHttpBypassCovers(std::string_view list, std::string_view host) {
  for (std::string_view entry : Split(list, ";, \t")) {
    // The matching below tries every split of a '*': an entry past any
    // real name's length is nobody's bypass.
    if (entry.size() > 255) continue;
    if (SameNoCase(entry, "<local>")) {
      if (host.find('.') == std::string_view::npos && host.find(':') == std::string_view::npos) return true;
      continue;
    }
    if (WildcardMatches(entry, host)) return true;
  }
  return false;
}

}  // namespace tarn

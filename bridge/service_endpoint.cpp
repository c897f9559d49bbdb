#include "bridge/service_endpoint.h"

#include <algorithm>
#include <charconv>

#include "bridge/log.h"
#include "platform/file.h"
#include "platform/http.h"
#include "platform/output_file.h"
#include "platform/paths.h"

namespace tarn {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsDigit(c) || (c >= 'a' && c <= 'z'); }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f'); }

std::string_view Trimmed(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  // One line end at most, as an editor leaves it.
  if (text.ends_with("\r\n")) {
    text.remove_suffix(2);
  } else if (text.ends_with('\n')) {
    text.remove_suffix(1);
  }
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Letters, digits and '-' in labels of 1..63 joined by '.', at most 253 in
// all; a label neither starts nor ends with '-'. Already lower case.
bool IsHostName(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  size_t label = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '.') {
      if (label == 0 || label > 63 || name[i - 1] == '-') return false;
      label = 0;
    } else if (IsAlnum(name[i]) || (name[i] == '-' && label > 0)) {
      ++label;
    } else {
      return false;
    }
  }
  return true;
}

// The inside of "[...]": hex groups, colons and, for a mapped address, dots.
bool IsIpv6Text(std::string_view text) {
  if (text.size() < 2 || text.size() > 45 || text.find(':') == std::string_view::npos) return false;
  for (char c : text)
    if (!IsHex(c) && c != ':' && c != '.') return false;
  return true;
}

}  // namespace

std::optional<ServiceEndpoint> ParseServiceUrl(std::string_view text) {
  text = Trimmed(text);
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  std::string_view rest = lower;
  ServiceEndpoint endpoint;
  if (rest.starts_with("https://")) {
    endpoint.secure = true;
    rest.remove_prefix(8);
  } else if (rest.starts_with("http://")) {
    rest.remove_prefix(7);
  } else {
    return std::nullopt;
  }
  if (rest.ends_with('/')) rest.remove_suffix(1);
  std::string_view host = rest;
  std::optional<std::string_view> port;
  if (rest.starts_with('[')) {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = rest.substr(1, close - 1);
    rest.remove_prefix(close + 1);
    if (!IsIpv6Text(host) || (!rest.empty() && !rest.starts_with(':'))) return std::nullopt;
    if (!rest.empty()) port = rest.substr(1);
  } else if (const size_t colon = rest.find(':'); colon != std::string_view::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (!IsHostName(host)) return std::nullopt;
  } else if (!IsHostName(host)) {
    return std::nullopt;
  }
  endpoint.host = std::string(host);
  endpoint.port = endpoint.secure ? 443 : 80;
  if (port) {
    const std::string_view digits = *port;
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || digits.size() > 5 || !IsDigit(digits.front()) || ec != std::errc() ||
        end != digits.data() + digits.size() || value == 0 || value > 65535)
      return std::nullopt;
    endpoint.port = static_cast<uint16_t>(value);
  }
  return endpoint;
}

std::string ServiceHostPort(const ServiceEndpoint& endpoint) {
  const bool v6 = endpoint.host.find(':') != std::string::npos;
  return (v6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" + std::to_string(endpoint.port);
}

std::string ServiceUrlText(const ServiceEndpoint& endpoint) {
  return (endpoint.secure ? "https://" : "http://") + ServiceHostPort(endpoint);
}

ServiceEndpoint BuiltInServiceEndpoint(Log& log, std::string_view builtIn) {
  if (builtIn.empty()) return ServiceEndpoint{};
  const std::optional<ServiceEndpoint> named = ParseServiceUrl(builtIn);
  if (named && !RefusedInClear(named->host, named->secure)) return *named;
  LogHostLine(log, "встроенный адрес службы %.*s негоден; используется %s",
              static_cast<int>(std::min<size_t>(builtIn.size(), 300)), builtIn.data(),
              ServiceUrlText(ServiceEndpoint{}).c_str());
  return ServiceEndpoint{};
}

ServiceEndpoint LoadServiceEndpoint(Log& log, const std::string& folder, std::string_view builtIn) {
  const std::string path = JoinPath(folder, std::string(kServiceUrlFileName));
  ServiceEndpoint endpoint = BuiltInServiceEndpoint(log, builtIn);
  std::string text;
  if (ReadFileStart(path, kServiceUrlFileCap + 1, text)) {
    const std::optional<ServiceEndpoint> named =
        text.size() <= kServiceUrlFileCap ? ParseServiceUrl(text) : std::nullopt;
    if (named) {
      endpoint = *named;
    } else {
      LogHostLine(log, "%s: не адрес вида http(s)://узел[:порт]; остаётся встроенный адрес", path.c_str());
    }
  } else if (FileSize(path)) {
    LogHostLine(log, "%s: не удалось прочитать; остаётся встроенный адрес", path.c_str());
  } else {
    return endpoint;  // no setting: the built-in address, without a word
  }
  if (RefusedInClear(endpoint.host, endpoint.secure))
    LogHostLine(log, "служба %s: без https допускается только этот компьютер; запросы не отправляются",
                ServiceUrlText(endpoint).c_str());
  else
    LogHostLine(log, "служба %s", ServiceUrlText(endpoint).c_str());
  return endpoint;
}

}  // namespace tarn

#include "tools/service/faults.h"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace tarn::tools {
namespace {

template <typename T>
bool ParseNumber(std::string_view text, T& value) {
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && p == text.data() + text.size();
}

// Splits "VALUE*N" into VALUE and N; without a count, times stays -1.
bool SplitTimes(std::string_view text, std::string& value, int& times) {
  times = -1;
  const size_t star = text.rfind('*');
  if (star != std::string_view::npos && star + 1 < text.size()) {
    int n = 0;
    if (ParseNumber(text.substr(star + 1), n)) {
      if (n <= 0) return false;
      value = std::string(text.substr(0, star));
      times = n;
      return true;
    }
  }
  value = std::string(text);
  return true;
}

bool UseOneTime(int& timesLeft) {
  if (timesLeft == 0) return false;
  if (timesLeft > 0) --timesLeft;
  return true;
}

// MATCH=NUMBER[*N] with a positive NUMBER.
bool ParseMatchNumber(const std::string& value, std::string& match, int& number, int& times) {
  const size_t eq = value.rfind('=');
  std::string body;
  if (eq == std::string::npos || eq == 0 || !SplitTimes(std::string_view(value).substr(eq + 1), body, times) ||
      !ParseNumber(body, number) || number <= 0) {
    return false;
  }
  match = value.substr(0, eq);
  return true;
}

bool ParseCutAfter(const std::string& value, FaultRules& rules) {
  std::string body;
  return SplitTimes(value, body, rules.cutTimes) && ParseNumber(body, rules.cutAfter) && rules.cutAfter >= 0;
}

bool ParseStatus(const std::string& value, FaultRules& rules) {
  FaultRules::Status s;
  const size_t eq = value.rfind('=');
  std::string body;
  if (eq == std::string::npos || eq == 0 || !SplitTimes(std::string_view(value).substr(eq + 1), body, s.times) ||
      !ParseNumber(body, s.code) || s.code < 100 || s.code > 599) {
    return false;
  }
  s.match = value.substr(0, eq);
  rules.statuses.push_back(std::move(s));
  return true;
}

bool ParseCorrupt(const std::string& value, FaultRules& rules) {
  FaultRules::Corrupt c;
  if (!SplitTimes(value, c.path, c.times) || c.path.empty()) return false;
  for (char& ch : c.path) {
    if (ch == '\\') ch = '/';
  }
  rules.corrupts.push_back(std::move(c));
  return true;
}

bool ParseEndless(const std::string& value, FaultRules& rules) {
  FaultRules::Endless e;
  if (!SplitTimes(value, e.match, e.times) || e.match.empty()) return false;
  rules.endless.push_back(std::move(e));
  return true;
}

bool ParseTrickle(const std::string& value, FaultRules& rules) {
  FaultRules::Trickle t;
  if (!ParseMatchNumber(value, t.match, t.everyMs, t.times)) return false;
  rules.trickles.push_back(std::move(t));
  return true;
}

bool ParseRedirect(const std::string& value, FaultRules& rules) {
  FaultRules::Redirect r;
  if (!ParseMatchNumber(value, r.match, r.port, r.times) || r.port > 65535) return false;
  rules.redirects.push_back(std::move(r));
  return true;
}

bool ParseShiftRange(const std::string& value, FaultRules& rules) {
  std::string body;
  return SplitTimes(value, body, rules.shiftTimes) && ParseNumber(body, rules.shiftRange) && rules.shiftRange > 0;
}

bool ParseStallAfter(const std::string& value, FaultRules& rules) {
  const size_t eq = value.rfind('=');
  std::string body;
  return eq != std::string::npos && eq != 0 && ParseNumber(value.substr(0, eq), rules.stallAfter) &&
         rules.stallAfter >= 0 && SplitTimes(std::string_view(value).substr(eq + 1), body, rules.stallTimes) &&
         ParseNumber(body, rules.stallMs) && rules.stallMs > 0;
}

bool ParseThrottle(const std::string& value, FaultRules& rules) { return ParseNumber(value, rules.throttle); }

bool ParseRetryAfter(const std::string& value, FaultRules& rules) {
  // One header line's value: a line break would let it write a header of its own.
  if (value.empty() || value.find_first_of("\r\n") != std::string::npos) return false;
  rules.retryAfter = value;
  return true;
}

bool ParseDelay(const std::string& value, FaultRules& rules) {
  return ParseNumber(value, rules.delayMs) && rules.delayMs >= 0;
}

bool ParseIgnoreRange(const std::string&, FaultRules& rules) {
  rules.ignoreRange = true;
  return true;
}

// Every fault flag: what its value looks like (null for a flag without
// one), and how it is read into the rules.
struct FaultFlag {
  const char* name;
  const char* wants;
  bool (*parse)(const std::string& value, FaultRules& rules);
};

constexpr FaultFlag kFaultFlags[] = {
    {"--ignore-range", nullptr, ParseIgnoreRange},
    {"--cut-after", "BYTES[*N]", ParseCutAfter},
    {"--status", "MATCH=CODE[*N]", ParseStatus},
    {"--retry-after", "SECONDS|HTTP-DATE", ParseRetryAfter},
    {"--corrupt", "PATH[*N]", ParseCorrupt},
    {"--endless", "MATCH[*N]", ParseEndless},
    {"--trickle", "MATCH=MS[*N]", ParseTrickle},
    {"--redirect", "MATCH=PORT[*N]", ParseRedirect},
    {"--shift-range", "BYTES[*N]", ParseShiftRange},
    {"--stall-after", "BYTES=MS[*N]", ParseStallAfter},
    {"--throttle", "BYTES_PER_SECOND", ParseThrottle},
    {"--delay", "MILLISECONDS", ParseDelay},
};

}  // namespace

bool ParseFaultFlag(const std::vector<std::string>& args, size_t& i, FaultRules& rules, bool& matched, std::string& error) {
  matched = false;
  if (i >= args.size()) return true;
  std::string flag = args[i];
  std::string value;
  bool inlineValue = false;
  if (const size_t eq = flag.find('='); flag.starts_with("--") && eq != std::string::npos) {
    value = flag.substr(eq + 1);
    flag.resize(eq);
    inlineValue = true;
  }
  const auto known = std::find_if(std::begin(kFaultFlags), std::end(kFaultFlags),
                                  [&flag](const FaultFlag& f) { return flag == f.name; });
  if (known == std::end(kFaultFlags)) return true;
  matched = true;
  if (known->wants && !inlineValue) {
    if (i + 1 >= args.size()) {
      error = flag + " needs a value";
      return false;
    }
    value = args[++i];
  }
  ++i;
  if (!known->parse(value, rules)) {
    error = flag + " wants " + known->wants + ", got " + value;
    return false;
  }
  return true;
}

bool ParseFaultText(std::string_view text, FaultRules& rules, std::string& error) {
  // Words separated by white space; double quotes keep a value with spaces
  // (a file path) together.
  std::vector<std::string> args;
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (char c : text) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
      if (inWord) args.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quoted) {
    error = "unbalanced double quote";
    return false;
  }
  if (inWord) args.push_back(word);
  FaultRules parsed;
  for (size_t i = 0; i < args.size();) {
    bool matched = false;
    if (!ParseFaultFlag(args, i, parsed, matched, error)) return false;
    if (!matched) {
      error = "not a fault flag: " + args[i];
      return false;
    }
  }
  rules = std::move(parsed);
  return true;
}

std::string DescribeFaults(const FaultRules& rules) {
  auto times = [](int t) { return t < 0 ? std::string() : "*" + std::to_string(t); };
  std::string out;
  if (rules.cutAfter >= 0) out += "--cut-after " + std::to_string(rules.cutAfter) + times(rules.cutTimes) + "\n";
  if (rules.ignoreRange) out += "--ignore-range\n";
  for (const auto& s : rules.statuses) out += "--status " + s.match + "=" + std::to_string(s.code) + times(s.times) + "\n";
  if (!rules.retryAfter.empty()) out += "--retry-after \"" + rules.retryAfter + "\"\n";
  for (const auto& c : rules.corrupts) out += "--corrupt " + c.path + times(c.times) + "\n";
  for (const auto& e : rules.endless) out += "--endless " + e.match + times(e.times) + "\n";
  for (const auto& t : rules.trickles)
    out += "--trickle " + t.match + "=" + std::to_string(t.everyMs) + times(t.times) + "\n";
  for (const auto& r : rules.redirects)
    out += "--redirect " + r.match + "=" + std::to_string(r.port) + times(r.times) + "\n";
  if (rules.shiftRange > 0) out += "--shift-range " + std::to_string(rules.shiftRange) + times(rules.shiftTimes) + "\n";
  if (rules.stallAfter >= 0)
    out += "--stall-after " + std::to_string(rules.stallAfter) + "=" + std::to_string(rules.stallMs) +
           times(rules.stallTimes) + "\n";
  if (rules.throttle > 0) out += "--throttle " + std::to_string(rules.throttle) + "\n";
  if (rules.delayMs > 0) out += "--delay " + std::to_string(rules.delayMs) + "\n";
  return out;
}

void FaultState::Replace(FaultRules rules) {
  std::lock_guard guard(lock_);
  rules_ = std::move(rules);
}

FaultRules FaultState::Snapshot() const {
  std::lock_guard guard(lock_);
  return rules_;
}

int FaultState::TakeStatus(std::string_view path, std::string_view target, std::string_view listPath) {
  std::lock_guard guard(lock_);
  for (auto& s : rules_.statuses) {
    const bool hit = s.match == path || s.match == target || (!listPath.empty() && s.match == listPath);
    if (hit && UseOneTime(s.times)) return s.code;
  }
  return 0;
}

bool FaultState::TakeCut(uint64_t bodyLength, uint64_t& cutAfter) {
  std::lock_guard guard(lock_);
  if (rules_.cutAfter < 0 || bodyLength <= static_cast<uint64_t>(rules_.cutAfter)) return false;
  if (!UseOneTime(rules_.cutTimes)) return false;
  cutAfter = static_cast<uint64_t>(rules_.cutAfter);
  return true;
}

bool FaultState::TakeShift(uint64_t& shift) {
  std::lock_guard guard(lock_);
  if (rules_.shiftRange <= 0 || !UseOneTime(rules_.shiftTimes)) return false;
  shift = static_cast<uint64_t>(rules_.shiftRange);
  return true;
}

bool FaultState::TakeStall(uint64_t bodyLength, uint64_t& stallAfter, int& stallMs) {
  std::lock_guard guard(lock_);
  if (rules_.stallAfter < 0 || bodyLength <= static_cast<uint64_t>(rules_.stallAfter)) return false;
  if (!UseOneTime(rules_.stallTimes)) return false;
  stallAfter = static_cast<uint64_t>(rules_.stallAfter);
  stallMs = rules_.stallMs;
  return true;
}

bool FaultState::TakeCorrupt(std::string_view listPath) {
  std::lock_guard guard(lock_);
  for (auto& c : rules_.corrupts) {
    if ((c.path == "*" || c.path == listPath) && UseOneTime(c.times)) return true;
  }
  return false;
}

FaultState::Replacement FaultState::TakeReplacement(std::string_view path, std::string_view target) {
  std::lock_guard guard(lock_);
  auto hit = [&](const std::string& match) { return match == path || match == target; };
  for (auto& e : rules_.endless)
    if (hit(e.match) && UseOneTime(e.times)) return {Replacement::Endless, 0};
  for (auto& t : rules_.trickles)
    if (hit(t.match) && UseOneTime(t.times)) return {Replacement::Trickle, t.everyMs};
  for (auto& r : rules_.redirects)
    if (hit(r.match) && UseOneTime(r.times)) return {Replacement::Redirect, r.port};
  return {};
}

}  // namespace tarn::tools

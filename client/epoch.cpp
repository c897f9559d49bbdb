#include "client/epoch.h"

#include <algorithm>
#include <limits>

#include "bridge/log.h"
#include "bridge/text.h"
#include "client/file_list.h"
#include "client/version_file.h"
#include "service/call.h"

namespace tarn {
namespace {

// What the launcher shows for a build no row names, from the days before
// an operator could publish a table: kept for the built-in table only.
constexpr int32_t kBuiltInDays = 35;
constexpr int32_t kBuiltInCycle = 61;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// The next blank-separated token of rest, which loses it.
std::string_view TakeToken(std::string_view& rest) {
  rest = TrimBlanks(rest);
  size_t end = 0;
  while (end < rest.size() && !IsBlank(rest[end])) ++end;
  const std::string_view token = rest.substr(0, end);
  rest.remove_prefix(end);
  return token;
}

// Decimal digits only, at most limit; nothing else is a number here, so a
// figure the operator did not write is never shown.
bool ReadCount(std::string_view token, int32_t limit, int32_t& value) {
  if (token.empty() || token.size() > 10) return false;
  int64_t n = 0;
  for (char c : token) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n > limit) return false;
  value = static_cast<int32_t>(n);
  return true;
}

// A text that may stand on the page: not empty, not too long, UTF-8, and
// no control character (which would break the line of the log or the page).
bool ReadShownText(std::string_view token, size_t limit, std::string& text) {
  if (token.empty() || token.size() > limit) return false;
  if (std::any_of(token.begin(), token.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
    return false;
  if (SanitizeUtf8(token) != token) return false;
  text.assign(token);
  return true;
}

bool ReadRow(std::string_view line, EpochRow& row) {
  std::string_view rest = line;
  return ReadCount(TakeToken(rest), std::numeric_limits<int32_t>::max(), row.build) &&
         ReadShownText(TakeToken(rest), kMaxEpochVersionBytes, row.version) &&
         ReadCount(TakeToken(rest), kMaxEpochCycleDays, row.days) &&
         ReadCount(TakeToken(rest), kMaxEpochCycleDays, row.cycle) && row.days <= row.cycle &&
         ReadShownText(TrimBlanks(rest), kMaxEpochNameBytes, row.name);
}

}  // namespace

EpochTable BuiltInEpochTable() {
  EpochTable table;
  table.rows = {
      {1, "1.3.6", kBuiltInDays, kBuiltInCycle, "Заря"},
      {2, "1.3.8", kBuiltInDays, kBuiltInCycle, "Зенит"},
      {3, "1.4.0", kBuiltInDays, kBuiltInCycle, "Излом"},
  };
  table.otherDays = kBuiltInDays;
  table.otherCycle = kBuiltInCycle;
  return table;
}

EpochTable ParseEpochTable(std::string_view signedText) {
  EpochTable table;
  size_t number = 0;
  while (!signedText.empty()) {
    const size_t end = signedText.find('\n');
    const std::string_view line = TrimBlanks(signedText.substr(0, end));
    signedText.remove_prefix(end == std::string_view::npos ? signedText.size() : end + 1);
    ++number;
    if (line.empty() || line.front() == '#') continue;
    EpochRow row;
    const auto same = [&row](const EpochRow& r) { return r.build == row.build; };
    if (table.rows.size() >= kMaxEpochRows || !ReadRow(line, row) ||
        std::any_of(table.rows.begin(), table.rows.end(), same)) {
      table.skippedLines.push_back(number);
      continue;
    }
    table.rows.push_back(std::move(row));
  }
  std::stable_sort(table.rows.begin(), table.rows.end(),
                   [](const EpochRow& a, const EpochRow& b) { return a.build < b.build; });
  return table;
}

EpochTable FetchEpochTable(LauncherContext& ctx) {
  std::string body;
  uint32_t status = 0;
  bool tooLarge = false;
  if (!HttpCall(ctx, "GET", kEpochTablePath, "", body, status, &tooLarge) || status != 200) {
    if (tooLarge) LogLine(ctx.log, "эпохи: ответ сервера слишком велик, показываю встроенные");
    return BuiltInEpochTable();
  }
  std::string signedText;
  if (body.size() > kEpochTableCapBytes) {
    LogLine(ctx.log, "эпохи: таблица на сервере больше %zu байт, показываю встроенные", kEpochTableCapBytes);
  } else if (!VerifyListSignature(body, signedText)) {
    LogLine(ctx.log, "эпохи: подпись таблицы на сервере не сходится, показываю встроенные");
  } else {
    EpochTable table = ParseEpochTable(signedText);
    if (!table.skippedLines.empty())
      LogLine(ctx.log, "эпохи: в таблице на сервере пропущено строк: %zu (первая — %zu)", table.skippedLines.size(),
              table.skippedLines.front());
    return table;
  }
  return BuiltInEpochTable();
}

std::optional<int32_t> FetchServerBuild(LauncherContext& ctx) {
  std::string body;
  uint32_t status = 0;
  if (!HttpCall(ctx, "GET", "/TRN/element/version", "", body, status) || status != 200) return std::nullopt;
  return LeadingNumber(body);
}

std::string EpochEvent(const EpochTable& table, int32_t local, int32_t remote) {
  const auto found = std::find_if(table.rows.begin(), table.rows.end(),
                                  [local](const EpochRow& r) { return local >= 0 && r.build == local; });
  const bool matched = found != table.rows.end();

  std::string label;
  if (local < 0) {
    label = "версия не определена";
  } else if (!matched) {
    label = "сборка " + std::to_string(local);
  } else {
    label = found->version + " · " + found->name;
  }
  const std::string_view next = matched && found + 1 != table.rows.end() ? found[1].version : std::string_view();
  const int32_t days = matched ? found->days : table.otherDays;
  const int32_t cycle = matched ? found->cycle : table.otherCycle;

  // The texts may be the operator's: escaped, and the page shows them as
  // text, never as markup.
  std::string event = R"({"epoch":{"index":)" + std::to_string(matched ? found - table.rows.begin() : 0) +
                      R"(,"label":")";
  AppendJsonEscaped(event, label);
  event += R"(","next":")";
  AppendJsonEscaped(event, next);
  event += R"(","days":)" + std::to_string(days) + R"(,"cycle":)" + std::to_string(cycle) +
           R"(,"build":)" + std::to_string(local) + R"(,"remote":)" + std::to_string(remote) + "}}";
  return event;
}

}  // namespace tarn

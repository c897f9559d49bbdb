#pragma once
// The installed "epoch" (client build) and the service's current one, and
// the table that names them. The operator publishes the table beside the
// list as "/TRN/element/epochs", signed like the list (same key, same
// marker and Base64 block); its text is one row a line:
//   <build> <version text> <day> <days in the cycle> <epoch name>
// (blanks or tabs between the first four tokens; the name is the rest of
// the line, blanks inside it kept), with blank lines and "#" comments
// skipped. Without a table the service vouches for, the launcher shows its
// built-in one.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/context.h"

namespace tarn {

inline constexpr std::string_view kEpochTablePath = "/TRN/element/epochs";

// Ceilings of what a table holds: the document is outside input, and its
// texts end up on the page.
inline constexpr size_t kEpochTableCapBytes = 64u << 10;
inline constexpr size_t kMaxEpochRows = 1000;
inline constexpr size_t kMaxEpochVersionBytes = 32;
inline constexpr size_t kMaxEpochNameBytes = 64;
inline constexpr int32_t kMaxEpochCycleDays = 100000;

struct EpochRow {
  int32_t build = 0;
  std::string version;
  int32_t days = 0;   // the day of the cycle the epoch stands at
  int32_t cycle = 0;  // the days of the whole cycle; never below days
  std::string name;
};

struct EpochTable {
  std::vector<EpochRow> rows;  // ascending by build, no build twice
  // The day counts shown for a build no row names.
  int32_t otherDays = 0;
  int32_t otherCycle = 0;
  // Lines of the text that were neither rows nor blank nor comments, and
  // rows that named a build again (the first one stands); 1-based.
  std::vector<size_t> skippedLines;
};

// The launcher's own three rows.
EpochTable BuiltInEpochTable();

// Reads a verified table text. A line is skipped when a number is not
// decimal digits within range, the day is past the cycle, a text is empty,
// too long, not UTF-8 or holds a control character, or the table already
// has kMaxEpochRows rows.
EpochTable ParseEpochTable(std::string_view signedText);

// The service's table when it answers with one the built-in key vouches
// for, the built-in one otherwise; the log says why a served table was not
// taken (one that is simply not there is not worth a line).
EpochTable FetchEpochTable(LauncherContext& ctx);

// The "epoch" Event for an installed build (-1: none readable) and the
// service's build (-1: unknown), named after table.
std::string EpochEvent(const EpochTable& table, int32_t local, int32_t remote);

// Asks the service for its build ("/TRN/element/version", leading digits);
// nothing when it cannot be asked.
std::optional<int32_t> FetchServerBuild(LauncherContext& ctx);

}  // namespace tarn

// The operator's epoch table: what survives the parser is bounded, sorted,
// safe to show, and reads back the same when written out again; the Event
// made from it carries its texts exactly.
#include <algorithm>
#include <string>

#include "bridge/text.h"
#include "client/epoch.h"
#include "fuzz.h"

using namespace tarn;
using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = fuzz::Bytes(data, size);
  const EpochTable table = ParseEpochTable(input);
  const size_t lines = static_cast<size_t>(std::count(input.begin(), input.end(), '\n')) + 1;
  Check(table.rows.size() <= kMaxEpochRows, "no more rows than the ceiling");
  Check(std::is_sorted(table.skippedLines.begin(), table.skippedLines.end()), "skipped lines in order");
  Check(table.skippedLines.empty() || table.skippedLines.back() <= lines, "skipped lines are lines of the text");

  std::string written;
  for (size_t i = 0; i < table.rows.size(); ++i) {
    const EpochRow& row = table.rows[i];
    Check(i == 0 || table.rows[i - 1].build < row.build, "rows ascend by build, none twice");
    Check(row.build >= 0 && row.days >= 0 && row.days <= row.cycle && row.cycle <= kMaxEpochCycleDays,
          "numbers within range");
    for (const std::string* text : {&row.version, &row.name}) {
      Check(!text->empty() && SanitizeUtf8(*text) == *text, "texts are UTF-8 and not empty");
      Check(std::none_of(text->begin(), text->end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }),
            "no control character in a text");
    }
    Check(row.version.size() <= kMaxEpochVersionBytes && row.name.size() <= kMaxEpochNameBytes, "texts bounded");
    written += std::to_string(row.build) + " " + row.version + " " + std::to_string(row.days) + " " +
               std::to_string(row.cycle) + " " + row.name + "\n";

    const std::string event = EpochEvent(table, row.build, -1);
    Check(JsonString(event, "label") == row.version + " · " + row.name, "the label carries the row's texts");
    Check(JsonString(event, "next") == (i + 1 < table.rows.size() ? table.rows[i + 1].version : ""),
          "next is the following row's version");
  }
  const EpochTable again = ParseEpochTable(written);
  Check(again.skippedLines.empty() && again.rows.size() == table.rows.size(), "the rows read back whole");
  for (size_t i = 0; i < again.rows.size(); ++i)
    Check(again.rows[i].name == table.rows[i].name && again.rows[i].version == table.rows[i].version,
          "the rows read back alike");
  return 0;
}

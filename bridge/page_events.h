#pragma once
// Events every job shows the page the same way: the status rows of
// verification and update, and the "progress" bar that verification,
// update and game launch share.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

struct LauncherContext;

// The state of one status row.
enum class RowState : uint8_t { Run, Ok, Bad };

// "run", "ok", "bad": the row's state as the page reads it.
std::string_view RowStateText(RowState state);

// One run's status rows, each a compact JSON object from MakeStateRow.
using StatusRows = std::vector<std::string>;

// {"state":"<state>","label":"<label>","text":"<text>"}; label and text are
// escaped.
std::string MakeStateRow(RowState state, const std::string& label, const std::string& text);

// Posts {"verify":[rows...]}: the run's whole list at this moment.
void PostVerifyRows(LauncherContext& ctx, const StatusRows& rows);

// Whether the action the progress bar shows is still under way, or has
// come to rest (done, refused or failed) so the page may offer it again.
enum class ProgressStage : uint8_t { Busy, Ready };

// Posts {"progress":{"status":"...","percent":N,"ready":true|false}};
// "ready" is true for ProgressStage::Ready.
void PostProgress(LauncherContext& ctx, const std::string& status, uint32_t percent, ProgressStage stage);

}  // namespace tarn

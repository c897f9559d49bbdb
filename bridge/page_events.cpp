#include "bridge/page_events.h"

#include "bridge/host_slots.h"
#include "bridge/text.h"

namespace tarn {

std::string_view RowStateText(RowState state) {
  switch (state) {
    case RowState::Run:
      return "run";
    case RowState::Ok:
      return "ok";
    case RowState::Bad:
      return "bad";
  }
  return "bad";
}

std::string MakeStateRow(RowState state, const std::string& label, const std::string& text) {
  return R"({"state":")" + std::string(RowStateText(state)) + R"(","label":")" + JsonEscape(label) +
         R"(","text":")" + JsonEscape(text) + "\"}";
}

void PostVerifyRows(LauncherContext& ctx, const StatusRows& rows) {
  std::string event = R"({"verify":[)";
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i > 0) event += ',';
    event += rows[i];
  }
  event += "]}";
  PostToUi(ctx, event);
}

void PostProgress(LauncherContext& ctx, const std::string& status, uint32_t percent, ProgressStage stage) {
  // Callers pass fixed texts, for which escaping changes nothing; it keeps
  // the Event valid JSON should one ever carry a quote.
  PostToUi(ctx, R"({"progress":{"status":")" + JsonEscape(status) + R"(","percent":)" + std::to_string(percent) +
                    R"(,"ready":)" + (stage == ProgressStage::Ready ? "true" : "false") + "}}");
}

}  // namespace tarn

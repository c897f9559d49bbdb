#include "client/epoch.h"

#include <array>
#include <string_view>

#include "client/version_file.h"
#include "service/call.h"

namespace tarn {
namespace {

struct Epoch {
  int32_t build;
  std::string_view version;
  std::string_view name;
};

constexpr std::array<Epoch, 3> kEpochTable{{
    {1, "1.3.6", "Заря"},
    {2, "1.3.8", "Зенит"},
    {3, "1.4.0", "Излом"},
}};

}  // namespace

std::optional<int32_t> FetchServerBuild(LauncherContext& ctx) {
  std::string body;
  uint32_t status = 0;
  if (!HttpCall(ctx, "GET", "/TRN/element/version", "", body, status) || status != 200) return std::nullopt;
  return LeadingNumber(body);
}

std::string EpochEvent(int32_t local, int32_t remote) {
  int index = -1;
  for (size_t i = 0; i < kEpochTable.size(); ++i)
    if (kEpochTable[i].build == local) index = static_cast<int>(i);

  std::string label;
  if (local < 0) {
    label = "версия не определена";
  } else if (index < 0) {
    label = "сборка " + std::to_string(local);
  } else {
    label = std::string(kEpochTable[index].version) + " · " + std::string(kEpochTable[index].name);
  }
  std::string_view next;
  if (index >= 0 && static_cast<size_t>(index) + 1 < kEpochTable.size()) next = kEpochTable[index + 1].version;

  // The label and next texts are fixed texts and digits, so they need no
  // escaping.
  return R"({"epoch":{"index":)" + std::to_string(index < 0 ? 0 : index) + R"(,"label":")" + label +
         R"(","next":")" + std::string(next) + R"(","days":35,"cycle":61,"build":)" + std::to_string(local) +
         R"(,"remote":)" + std::to_string(remote) + "}}";
}

}  // namespace tarn

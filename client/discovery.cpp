#include "client/discovery.h"

#include <array>
#include <string_view>

#include "bridge/log.h"
#include "client/install_record.h"
#include "client/install_stage.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace tarn {
namespace {

constexpr std::string_view kClientExe = "ElementClient.exe";

// Below each folder of the search, in the order they are tried; an empty
// entry is the folder itself.
constexpr std::array<std::array<std::string_view, 2>, 4> kClientSuffixes{{
    {"", ""},
    {"install", "element"},
    {"element", ""},
    {"client-dev", ""},
}};

// The base folder and up to five above it.
constexpr int kSearchLevels = 6;

bool HoldsClient(const std::string& folder) { return IsFile(JoinPath(folder, kClientExe)); }

// The recorded folder. A move renames the folder after noting where to
// ("moving") and switches "path" after the rename: a launcher that died
// between the two finds the client where "moving" says, and the record
// follows it now.
std::string RecordedFolder(ClientContext& ctx) {
  const std::string recorded = GetConfigValue(ctx, "path");
  if (recorded.empty() || HoldsClient(recorded)) return recorded;
  const std::string moving = GetConfigValue(ctx, "moving");
  if (moving.empty() || !HoldsClient(moving)) return recorded;
  SetConfigValues(ctx, {{"path", moving}, {"moving", ""}});
  LogLine(ctx.launcher.log, "клиент найден там, куда его переносили: %s", moving.c_str());
  return moving;
}

}  // namespace

std::string SearchClientDirFrom(const std::string& base) {
  std::string level = base;
  for (int count = 0; count < kSearchLevels && !level.empty(); ++count) {
    for (const auto& suffix : kClientSuffixes) {
      std::string candidate = level;
      for (std::string_view part : suffix)
        if (!part.empty()) candidate = JoinPath(candidate, part);
      if (HoldsClient(candidate)) return FullPath(candidate);
    }
    level = SearchParent(level);
  }
  return {};
}

std::string SearchClientDir() { return SearchClientDirFrom(ExeDir()); }

std::string FindClientDir(ClientContext& ctx) {
  const std::string recorded = RecordedFolder(ctx);
  if (!recorded.empty() && HoldsClient(recorded)) return recorded;
  std::string found = SearchClientDir();
  if (found.empty()) LogLine(ctx.launcher.log, "клиент не найден: ни записи об установке, ни рядом с лаунчером");
  return found;
}

bool IsClientInstalled(ClientContext& ctx) {
  const std::string recorded = RecordedFolder(ctx);
  if (!recorded.empty()) return GetConfigValue(ctx, "state") == InstallStageText(InstallStage::Installed) && HoldsClient(recorded);
  return !SearchClientDir().empty();
}

}  // namespace tarn

#include "client/signed_build.h"

#include <algorithm>
#include <limits>

#include "bridge/log.h"
#include "bridge/state_file.h"
#include "client/install_record.h"
#include "client/install_stage.h"
#include "client/version_file.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace tarn {
namespace {

bool InstallFinished(ClientContext& ctx) {
  return GetConfigValue(ctx, "state") == InstallStageText(InstallStage::Installed);
}

// The build install.cfg names for a finished install: the signed list's,
// recorded when that install began or the client was last updated.
std::optional<int32_t> InstalledListBuild(ClientContext& ctx) {
  if (!InstallFinished(ctx)) return std::nullopt;
  return ParseBuildFloor(GetConfigValue(ctx, "version"));
}

// build.floor's own number; damaged when the file is there but holds none.
std::optional<int32_t> KeptFloor(ClientContext& ctx, bool& damaged) {
  std::string bytes;
  bool oversized = false;
  if (!ReadStateFile(ctx.launcher.log, BuildFloorPath(ctx), kBuildFloorLimitBytes, bytes, oversized)) return std::nullopt;
  std::optional<int32_t> kept;
  if (!oversized) kept = ParseBuildFloor(bytes);
  damaged = !kept;
  return kept;
}

}  // namespace

std::string BuildFloorPath(LauncherContext& ctx) { return JoinPath(DataPath(ctx), "build.floor"); }

std::optional<int32_t> ParseBuildFloor(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.remove_suffix(1);
  if (text.empty() || text.size() > 10) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return static_cast<int32_t>(value);
}

int32_t ReadBuildFloor(ClientContext& ctx) {
  bool damaged = false;
  if (const std::optional<int32_t> kept = KeptFloor(ctx, damaged)) return *kept;
  const std::optional<int32_t> installed = InstalledListBuild(ctx);
  // A floor that was kept and is lost now must not go unnoticed: the log
  // names it, and the next install or update writes it again.
  if (damaged && ctx.launcher.log.FirstTime("damaged " + BuildFloorPath(ctx)))
    LogLine(ctx.launcher.log, "%s повреждён — наименьшей допустимой сборкой взята %d (из install.cfg)",
            BuildFloorPath(ctx).c_str(), static_cast<int>(installed.value_or(-1)));
  return installed.value_or(-1);
}

void RaiseBuildFloor(ClientContext& ctx, int32_t build) {
  if (build < 0) return;
  bool damaged = false;
  if (const std::optional<int32_t> kept = KeptFloor(ctx, damaged); kept && *kept >= build) return;
  const std::string floor = std::to_string(std::max(build, ReadBuildFloor(ctx)));
  MakeFolder(DataPath(ctx));
  if (!ReplaceFileAtomically(BuildFloorPath(ctx), floor + "\n"))
    LogLine(ctx.launcher.log, "не удалось записать %s", BuildFloorPath(ctx).c_str());
}

std::optional<int32_t> TrustedBuild(ClientContext& ctx, const FileList& list, std::optional<int32_t> documented) {
  if (list.version < 0) return documented;
  if (documented && *documented != list.version)
    LogLine(ctx.launcher.log, "сервер называет сборку %d, а подписанный список — %d: верю списку", static_cast<int>(*documented),
            static_cast<int>(list.version));
  return list.version;
}

std::optional<int32_t> StampFinishedBuild(ClientContext& ctx, const FileList& list,
                                          std::optional<int32_t> documented) {
  const std::optional<int32_t> build = TrustedBuild(ctx, list, documented);
  if (build && *build >= 0) WriteClientVersion(ctx, *build);
  RaiseBuildFloor(ctx, list.version);
  // The install record names the build too, so a lost floor file falls
  // back on the build of now rather than the first install's.
  if (list.version >= 0 && InstallFinished(ctx)) SetConfigValue(ctx, "version", std::to_string(list.version));
  return build;
}

}  // namespace tarn

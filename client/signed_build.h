#pragma once
// The highest signed build this launcher has installed or updated to, kept
// in the data folder as build.floor ("N\n"), and the stamping of a finished
// install or update. A mirror or a CDN can serve any list the operator once
// signed, so an older signed list is a rollback the launcher refuses; the
// version document ("/TRN/element/version") is signed by no one, so it
// never decides the build stamped into version.sw while a list names one.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/context.h"
#include "client/context.h"
#include "client/file_list.h"

namespace tarn {

// The most of build.floor that is read: one number and a line end.
inline constexpr size_t kBuildFloorLimitBytes = 32;

// data folder + build.floor.
std::string BuildFloorPath(LauncherContext& ctx);

// The build a build.floor text holds: decimal digits up to 2^31 - 1,
// optionally followed by blanks and line ends; nothing for anything else.
std::optional<int32_t> ParseBuildFloor(std::string_view text);

// The floor: build.floor's number. Without a readable one (a launcher that
// never kept one, or a damaged file, which the log names) it falls back on
// the build install.cfg recorded from the signed list of a finished
// install, and on -1 (no floor) when there is none either.
int32_t ReadBuildFloor(ClientContext& ctx);

// Raises the floor to build (never lowers it); the file is replaced whole.
void RaiseBuildFloor(ClientContext& ctx, int32_t build);

// The build a finished install or update stands at: the signed list's when
// it names one, otherwise the version document's answer (documented). The
// log says when the two disagree.
std::optional<int32_t> TrustedBuild(ClientContext& ctx, const FileList& list, std::optional<int32_t> documented);

// Stamps TrustedBuild into version.sw and raises the floor to the list's
// signed build, which a finished install's record then names as well.
// Returns the build stamped, for the epoch and the update check that follow.
std::optional<int32_t> StampFinishedBuild(ClientContext& ctx, const FileList& list,
                                          std::optional<int32_t> documented);

}  // namespace tarn

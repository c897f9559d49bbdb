#pragma once
// Where the game client lives: the folder holding ElementClient.exe. The
// install record is trusted first; without it the launcher looks near its
// own executable, so a launcher copied into or beside an existing client
// works without installing. Nothing is cached: every call looks again.
#include <string>

#include "bridge/context.h"
#include "client/context.h"

namespace tarn {

// The recorded install folder when ElementClient.exe is there (finished or
// not, exactly as recorded); otherwise SearchClientDir. Empty, with a log
// line, when neither finds a client.
std::string FindClientDir(ClientContext& ctx);

// SearchClientDirFrom(ExeDir()).
std::string SearchClientDir();

// Tries base and up to five folders above it (never the file-system root),
// and at each the folder itself, then install/element, element and
// client-dev below it. The first folder holding ElementClient.exe wins, as
// an absolute, normalised path; empty when none does.
std::string SearchClientDirFrom(const std::string& base);

// A finished install exists: with an install record, its state is "готово"
// and its folder holds ElementClient.exe (no search); without one, the
// search finds a client.
bool IsClientInstalled(ClientContext& ctx);

}  // namespace tarn

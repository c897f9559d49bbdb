// build.floor, the highest signed build the launcher has had, read and
// raised on real files in a scratch data folder. The input up to its first
// NUL is install.cfg, which stands in when the floor file says nothing.
#include <string>

#include "client/install_record.h"
#include "client/signed_build.h"
#include "fuzz.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "wiring/launcher.h"

using namespace tarn;
using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Launcher launcher;
  LauncherContext& ctx = launcher.context;
  fuzz::UseScratchDataFolder(ctx);
  std::string_view input = fuzz::Bytes(data, size);
  const std::string record(fuzz::Head(input));
  ReplaceFileAtomically(InstallConfigPath(ctx), record);
  ReplaceFileAtomically(BuildFloorPath(ctx), input);

  const std::optional<int32_t> parsed = ParseBuildFloor(input);
  if (parsed) Check(*parsed >= 0 && ParseBuildFloor(std::to_string(*parsed) + "\n") == parsed, "a floor reads back");
  const int32_t floor = ReadBuildFloor(launcher.client);
  Check(floor >= -1, "a floor is a build or none");
  if (parsed && input.size() <= kBuildFloorLimitBytes) Check(floor == *parsed, "a readable file is the floor");

  // Raising never lowers, and what is written reads back as the floor.
  const int32_t build = static_cast<int32_t>(size % 1000);
  RaiseBuildFloor(launcher.client, build);
  const int32_t raised = ReadBuildFloor(launcher.client);
  Check(raised >= floor && raised >= build, "the floor only rises");
  std::string text;
  Check(ReadWholeFile(BuildFloorPath(ctx), text), "the floor file is there after a raise");
  Check(ParseBuildFloor(text) == raised, "the file holds the floor as a plain number");
  return 0;
}

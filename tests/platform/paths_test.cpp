// Where the launcher keeps its state, the same rule on every backend for a
// copy that runs where it was built or unpacked.
#include "platform/paths.h"

#include <gtest/gtest.h>

#include <string>

#include "bridge/log.h"
#include "support/temp_dir.h"

namespace tarn {
namespace {

TEST(StateFolder, ABuildTreeKeepsItsStateBesideTheProgram) {
  // Every test folder relies on this: its log and data/ sit beside it.
  EXPECT_EQ(StateDir(), ExeDir());
  EXPECT_EQ(LogPath(), JoinPath(ExeDir(), "launcher.log"));
  test::TempDir dir;
  EXPECT_EQ(StateDirFor(dir.str()), dir.str());
  EXPECT_EQ(StateDirFor(""), "");
}

}  // namespace
}  // namespace tarn

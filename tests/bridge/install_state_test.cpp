// The client writer guard: one writer of the client folder at a time.
#include <gtest/gtest.h>

#include "bridge/context.h"
#include "bridge/install_state.h"

namespace tarn {
namespace {

TEST(ClientWriterGuard, OneWriterAtATimeAndOnlyTheHolderReleases) {
  LauncherContext ctx;
  ClientWriter holder = ClientWriter::None;
  ASSERT_TRUE(TakeClientWriter(ctx, ClientWriter::Install, holder));
  EXPECT_FALSE(TakeClientWriter(ctx, ClientWriter::Update, holder));
  EXPECT_EQ(holder, ClientWriter::Install);
  ReleaseClientWriter(ctx, ClientWriter::Update);  // not the holder: no effect
  {
    const ClientWriterHold hold(ctx, ClientWriter::Update);
    EXPECT_FALSE(hold.taken());
    EXPECT_EQ(hold.holder(), ClientWriter::Install);
  }
  ReleaseClientWriter(ctx, ClientWriter::Install);
  {
    const ClientWriterHold hold(ctx, ClientWriter::Update);
    EXPECT_TRUE(hold.taken());
  }
  EXPECT_TRUE(TakeClientWriter(ctx, ClientWriter::Install, holder));
  ReleaseClientWriter(ctx, ClientWriter::Install);
}

}  // namespace
}  // namespace tarn

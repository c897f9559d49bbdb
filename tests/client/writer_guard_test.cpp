// The client writer guard: one writer of the client folder at a time.
#include "client/writer_guard.h"

#include <gtest/gtest.h>

namespace tarn {
namespace {

TEST(ClientWriterGuard, OneWriterAtATimeAndOnlyTheHolderReleases) {
  ClientWriterGuard guard;
  ClientWriter holder = ClientWriter::Nobody;
  ASSERT_TRUE(TakeClientWriter(guard, ClientWriter::Install, holder));
  EXPECT_FALSE(TakeClientWriter(guard, ClientWriter::Update, holder));
  EXPECT_EQ(holder, ClientWriter::Install);
  ReleaseClientWriter(guard, ClientWriter::Update);  // not the holder: no effect
  {
    const ClientWriterHold hold(guard, ClientWriter::Update);
    EXPECT_FALSE(hold.taken());
    EXPECT_EQ(hold.holder(), ClientWriter::Install);
  }
  ReleaseClientWriter(guard, ClientWriter::Install);
  {
    const ClientWriterHold hold(guard, ClientWriter::Update);
    EXPECT_TRUE(hold.taken());
  }
  EXPECT_TRUE(TakeClientWriter(guard, ClientWriter::Install, holder));
  ReleaseClientWriter(guard, ClientWriter::Install);
}

}  // namespace
}  // namespace tarn

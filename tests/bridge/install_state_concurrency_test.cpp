// The install and the update racing for the client: at no moment do both
// hold it, and neither is ever refused by a guard nobody holds.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "bridge/install_state.h"

namespace tarn {
namespace {

TEST(ClientWriterConcurrency, NeverTwoWritersAtOnce) {
  LauncherContext ctx;
  std::atomic<int> holders{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> refusedByNobody{0};
  const auto contend = [&](ClientWriter who) {
    for (int i = 0; i < 20000; ++i) {
      const ClientWriterHold hold(ctx, who);
      if (!hold.taken()) {
        if (hold.holder() == ClientWriter::None || hold.holder() == who) refusedByNobody.fetch_add(1);
        continue;
      }
      if (holders.fetch_add(1) != 0) overlaps.fetch_add(1);
      holders.fetch_sub(1);
    }
  };
  std::thread install(contend, ClientWriter::Install);
  std::thread update(contend, ClientWriter::Update);
  install.join();
  update.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(refusedByNobody.load(), 0);
  ClientWriter holder = ClientWriter::None;
  EXPECT_TRUE(TakeClientWriter(ctx, ClientWriter::Install, holder));  // nothing left held
  ReleaseClientWriter(ctx, ClientWriter::Install);
}

}  // namespace
}  // namespace tarn

// The install and the update racing for the client: at no moment do both
// hold it, and neither is ever refused by a guard nobody holds.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "client/writer_guard.h"

namespace tarn {
namespace {

TEST(ClientWriterConcurrency, NeverTwoWritersAtOnce) {
  ClientWriterGuard guard;
  std::atomic<int> holders{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> refusedByNobody{0};
  const auto contend = [&](ClientWriter who) {
    for (int i = 0; i < 20000; ++i) {
      const ClientWriterHold hold(guard, who);
      if (!hold.taken()) {
        if (hold.holder() == ClientWriter::Nobody || hold.holder() == who) refusedByNobody.fetch_add(1);
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
  ClientWriter holder = ClientWriter::Nobody;
  EXPECT_TRUE(TakeClientWriter(guard, ClientWriter::Install, holder));  // nothing left held
  ReleaseClientWriter(guard, ClientWriter::Install);
}

}  // namespace
}  // namespace tarn

// The command table over the real jobs: a worker left out would make its
// Command do nothing at all, silently.
#include "wiring/wiring.h"

#include <gtest/gtest.h>

namespace tarn {
namespace {

TEST(DispatchTest, RealWorkersAreAllWired) {
  const Workers& w = RealWorkers();
  for (auto* p : {reinterpret_cast<const void*>(w.pushAccounts), reinterpret_cast<const void*>(w.addAccount),
                  reinterpret_cast<const void*>(w.removeAccount), reinterpret_cast<const void*>(w.openCabinet),
                  reinterpret_cast<const void*>(w.loadAccounts), reinterpret_cast<const void*>(w.launchGame),
                  reinterpret_cast<const void*>(w.verifyClient), reinterpret_cast<const void*>(w.updateClient),
                  reinterpret_cast<const void*>(w.runInstall), reinterpret_cast<const void*>(w.findClientDir),
                  reinterpret_cast<const void*>(w.isClientInstalled), reinterpret_cast<const void*>(w.markInstalled),
                  reinterpret_cast<const void*>(w.postInstallEvent), reinterpret_cast<const void*>(w.catchUp),
                  reinterpret_cast<const void*>(w.pushNews),
                  reinterpret_cast<const void*>(w.refreshInstallScreen),
                  reinterpret_cast<const void*>(w.setSpeedLimit), reinterpret_cast<const void*>(w.pushSpeedLimit)})
    EXPECT_NE(p, nullptr);
}

}  // namespace
}  // namespace tarn

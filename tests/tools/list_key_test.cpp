#include "client/list_key.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "tools/common/crypto.h"

namespace tarn {
namespace {

// The key built into the launcher is the configured PEM file, byte for
// byte (carriage returns aside), and a usable RSA-2048 public key.
TEST(ListKey, IsTheConfiguredKeyFile) {
  std::string file = test::ReadFile(TARN_LIST_KEY_FILE);
  std::erase(file, '\r');
  EXPECT_EQ(std::string(kListPublicKeyPem), file);
  EXPECT_EQ(tools::PublicKeyBits(kListPublicKeyPem), 2048);
}

}  // namespace
}  // namespace tarn

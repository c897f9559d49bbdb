#include "client/list_key.h"

#include <gtest/gtest.h>

#include <string_view>

#include "bridge/service_endpoint.h"

#include "support/temp_dir.h"
#include "tools/common/crypto.h"

namespace tarn {
namespace {

// The keys built into the launcher are the configured PEM files, byte for
// byte (carriage returns aside), and usable RSA-2048 public keys; the
// second is empty unless configured. The address is the configured one.
TEST(ListKey, AreTheConfiguredKeyFilesAndAddress) {
  std::string file = test::ReadFile(TARN_LIST_KEY_FILE);
  std::erase(file, '\r');
  EXPECT_EQ(std::string(kListPublicKeyPem), file);
  EXPECT_EQ(tools::PublicKeyBits(kListPublicKeyPem), 2048);
  if (std::string_view(TARN_LIST_KEY_2_FILE).empty()) {
    EXPECT_STREQ(kSecondListPublicKeyPem, "");
  } else {
    std::string second = test::ReadFile(TARN_LIST_KEY_2_FILE);
    std::erase(second, '\r');
    EXPECT_EQ(std::string(kSecondListPublicKeyPem), second);
    EXPECT_EQ(tools::PublicKeyBits(kSecondListPublicKeyPem), 2048);
  }
  EXPECT_STREQ(kBuiltInServiceUrl, TARN_SERVICE_URL_TEXT);
}

}  // namespace
}  // namespace tarn

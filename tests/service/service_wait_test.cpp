// How long the launcher waits when the service asks it to: the two forms
// of Retry-After read at a fixed now, and the bound the launcher keeps.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/http.h"
#include "service/call.h"

namespace tarn {
namespace {

// Sun, 06 Nov 1994 08:49:37 GMT as seconds since 1970.
constexpr int64_t kThen = 784111777;

TEST(ServiceWait, RetryAfterIsReadInBothFormsAndAnythingElseIsNone) {
  for (const auto& [value, seconds] : std::initializer_list<std::pair<std::string, int64_t>>{
           {"30", 30},
           {" \t0 ", 0},
           {"120\r\n", 120},
           {"86400", 86400},
           {"99999999999999999999999999", 86400},  // no overflow, and no caller waits a day anyway
           {"Sun, 06 Nov 1994 08:49:37 GMT", 0},
           {"Sun, 06 Nov 1994 08:50:07 GMT", 30},
           {"Mon, 07 Nov 1994 08:49:37 GMT", 86400},
           {"Sat, 05 Nov 1994 08:49:37 GMT", 0},   // passed already: ask again now
           {"Tue, 01 Mar 1996 00:00:00 GMT", 86400},
           {"", -1},
           {"-5", -1},
           {"+5", -1},
           {"5 s", -1},
           {"3.5", -1},
           {"Sunday, 06-Nov-94 08:49:37 GMT", -1},
           {"Sun Nov  6 08:49:37 1994", -1},
           {"Sun, 06 Nov 1994 08:49:37 UTC", -1},
           {"Sun, 06 Noz 1994 08:49:37 GMT", -1},
           {"Sun, 06 Nov 1994 24:49:37 GMT", -1},
           {"Sun, 6 Nov 1994 08:49:37 GMT", -1},
       })
    EXPECT_EQ(RetryAfterSeconds(value, kThen).value_or(-1), seconds) << value;
  // The days of a leap year and of the century's rule count.
  EXPECT_EQ(RetryAfterSeconds("Thu, 29 Feb 2024 00:00:00 GMT", 1709164800 - 10).value_or(-1), 10);
  EXPECT_EQ(RetryAfterSeconds("Wed, 01 Mar 2000 00:00:00 GMT", 951868800 - 5).value_or(-1), 5);
}

TEST(ServiceWait, TheServiceIsHeardUpToABoundButNeverBelowTheLauncherOwnWait) {
  EXPECT_EQ(ServiceWaitSeconds(-1, 2), 2);
  EXPECT_EQ(ServiceWaitSeconds(0, 2), 2);
  EXPECT_EQ(ServiceWaitSeconds(30, 2), 30);
  EXPECT_EQ(ServiceWaitSeconds(86400, 4), kLongestServiceWaitSeconds);
  EXPECT_EQ(ServiceWaitSeconds(3, 4), 4);
  EXPECT_TRUE(AsksToWait(503, 0));
  EXPECT_TRUE(AsksToWait(429, 30));
  EXPECT_FALSE(AsksToWait(503, -1));
  EXPECT_FALSE(AsksToWait(500, 30));  // a broken server's word on waiting is not taken
  EXPECT_FALSE(AsksToWait(200, 30));
}

}  // namespace
}  // namespace tarn

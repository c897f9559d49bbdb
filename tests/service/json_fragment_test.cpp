// The gate between the service's answers and the page: only a well-formed
// array or object may pass into an Event.
#include <gtest/gtest.h>

#include "service/json_fragment.h"

namespace tarn {
namespace {

TEST(JsonFragment, WellFormedContainersPassUnchanged) {
  for (const char* text : {
           "[]", "{}", " [ ] ", "[1,-0.5e+3,2E-2,0,true,false,null]",
           R"([{"name":"Лучник","level":12},{"name":"x\"y\\z\u00e9\n"}])",
           R"({"news":[{"title":"a","body":""}],"n":{"deep":[[[]]]}})",
           "[\"\xF0\x9F\x98\x80\"]",
       }) {
    EXPECT_TRUE(IsJsonArrayOrObject(text)) << text;
    EXPECT_EQ(ServiceFragmentOrEmptyList(text), text);
  }
}

TEST(JsonFragment, AnythingElseBecomesAnEmptyList) {
  for (const char* text : {
           "", "   ", "\"a string\"", "42", "true", "null",  // values, but not containers
           "[", "[1,]", "[,1]", "{\"a\"}", "{\"a\":}", "{\"a\":1,}", "{a:1}", "[1 2]", "[]]", "[][]",
           "[{]", "{[}]",                                  // what a bracket counter lets through
           "['single']", "[01]", "[1.]", "[.5]", "[-]", "[1e]", "[+1]", "[tru]", "[nul]",
           "[\"bad \\x escape\"]", "[\"\\u12g4\"]", "[\"tab\tinside\"]", "[\"unclosed]",
       }) {
    EXPECT_FALSE(IsJsonArrayOrObject(text)) << text;
    EXPECT_EQ(ServiceFragmentOrEmptyList(text), "[]") << text;
  }
}

TEST(JsonFragment, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  const std::string ok = std::string(200, '[') + std::string(200, ']');
  EXPECT_TRUE(IsJsonArrayOrObject(ok));
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_FALSE(IsJsonArrayOrObject(deep));
}

TEST(JsonFragment, IllFormedUtf8IsReplacedBeforeItReachesThePage) {
  EXPECT_EQ(ServiceFragmentOrEmptyList("[\"a\xff\"]"), "[\"a\xEF\xBF\xBD\"]");
}

}  // namespace
}  // namespace tarn

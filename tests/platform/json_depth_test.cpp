#include "platform/json_depth.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::platform {
namespace {

TEST(JsonDepthTest, CountsBracketsOutsideStrings) {
  EXPECT_FALSE(jsonNestsDeeperThan(R"({"a":[1,{"b":2}]})", 3));
  EXPECT_TRUE(jsonNestsDeeperThan(R"({"a":[1,{"b":[2]}]})", 3));
  // Brackets inside strings, escaped quotes included, do not count.
  EXPECT_FALSE(jsonNestsDeeperThan(R"({"a":"[[[[\"{{{{"})", 1));
  EXPECT_FALSE(jsonNestsDeeperThan("not json ]]]] at all", 0));
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_TRUE(jsonNestsDeeperThan(deep));
  EXPECT_FALSE(jsonNestsDeeperThan(std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']')));
}

}  // namespace
}  // namespace velmora::platform

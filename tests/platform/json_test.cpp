#include "platform/json.h"

#include <gtest/gtest.h>

namespace talvane {
namespace {

TEST(LenientJson, WrongTypesAndMissingKeysAreAbsent) {
  Json o = Json::parse(R"({"s":"x","n":3,"f":2.0,"h":2.5,"b":true,"big":18446744073709551615,
                           "neg":-4,"a":[1],"o":{}})");
  EXPECT_EQ(json::string(o, "s"), "x");
  EXPECT_FALSE(json::string(o, "n"));
  EXPECT_EQ(json::integer(o, "n"), 3);
  EXPECT_EQ(json::integer(o, "f"), 2);
  EXPECT_FALSE(json::integer(o, "h"));
  EXPECT_FALSE(json::integer(o, "big"));  // does not wrap to a negative number
  EXPECT_EQ(json::integer(o, "neg"), -4);
  EXPECT_FALSE(json::boolean(o, "s"));
  EXPECT_TRUE(json::array(o, "a"));
  EXPECT_FALSE(json::array(o, "o"));
  EXPECT_FALSE(json::string(Json::array(), "s"));
  EXPECT_FALSE(json::nonEmpty(Json{{"e", ""}}, "e"));
}

TEST(LenientJson, ParsingNeverThrowsAndSerialisingReplacesBadText) {
  EXPECT_FALSE(json::parse("{"));
  EXPECT_FALSE(json::parseObject("[1]"));
  EXPECT_FALSE(json::parseObject("{\"a\":1} // note"));
  EXPECT_TRUE(json::parseObject("{\"a\":1} // note", /*allowComments=*/true));
  Json bad = {{"t", std::string("a\xff")}};
  EXPECT_EQ(json::compact(bad), "{\"t\":\"a\xef\xbf\xbd\"}");
}

}  // namespace
}  // namespace talvane

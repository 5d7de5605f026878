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

std::string nested(std::size_t depth, const std::string& open = "[", const std::string& close = "]",
                   const std::string& middle = "") {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += open;
  text += middle;
  for (std::size_t i = 0; i < depth; ++i) text += close;
  return text;
}

Json nestedValue(std::size_t depth) {
  Json root = Json::array();
  Json* innermost = &root;
  for (std::size_t i = 1; i < depth; ++i) innermost = &innermost->emplace_back(Json::array());
  return root;
}

TEST(JsonDepth, TextIsRefusedOnlyPastTheLimit) {
  struct Case {
    const char* name;
    std::string text;
    bool allowComments;
    bool parses;
  };
  const std::size_t max = json::kMaxDepth;
  const Case cases[] = {
      {"at the limit", nested(max), false, true},
      {"one past", nested(max + 1), false, false},
      {"objects far past", nested(100000, "{\"a\":", "}", "1"), false, false},
      {"brackets in strings", "[\"" + nested(max + 5) + "\\\"[[[\"]", false, true},
      {"brackets in comments", "{\"a\":1} // " + std::string(max + 5, '[') + "\n", true, true},
      {"quote in a comment", "/* \" */ " + nested(max + 1), true, false},
      {"line comment hiding a quote", "// \"\n" + nested(max + 1), true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(json::parse(c.text, c.allowComments).has_value(), c.parses) << c.name;
  }
}

TEST(JsonDepth, TooDeepValuesAreWrittenAsNothing) {
  EXPECT_EQ(json::compact(nestedValue(json::kMaxDepth)), nested(json::kMaxDepth));
  // Deep enough to exhaust the stack if it were written recursively.
  const Json deep = nestedValue(200000);
  EXPECT_EQ(json::compact(deep), "");
  EXPECT_EQ(json::pretty(deep), "");
  EXPECT_TRUE(json::depthWithin(Json::object({{"a", 1}}), 1));
  EXPECT_FALSE(json::depthWithin(Json::object({{"a", Json::array()}}), 1));
}

}  // namespace
}  // namespace talvane

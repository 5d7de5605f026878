#include "integrations/json_text.h"

#include <gtest/gtest.h>

namespace talvane {
namespace {

struct EditCase {
  const char* name;
  std::string before;
  const char* desired;  // JSON
  std::string after;
};

TEST(JsonTextEdit, ChangesOnlyWhatDiffersInTheFilesOwnLayout) {
  const EditCase cases[] = {
      {"changed value keeps comments and the other members",
       "{\n  // mine\n  \"a\": 1, /* x */\n  \"b\": 2\n}\n", R"({"a": 1, "b": [true]})",
       "{\n  // mine\n  \"a\": 1, /* x */\n  \"b\": [\n    true\n  ]\n}\n"},
      {"removed member takes its comma and its line",
       "{\n    \"a\": 1,\n    \"b\": 2,\n    \"c\": 3\n}", R"({"a": 1, "c": 3})",
       "{\n    \"a\": 1,\n    \"c\": 3\n}"},
      {"removed last member takes the comma before it", "{\n\t\"a\": 1,\n\t\"b\": 2\n}",
       R"({"a": 1})", "{\n\t\"a\": 1\n}"},
      {"new member follows tabs and CRLF", "{\r\n\t\"a\": 1\r\n}\r\n", R"({"a": 1, "b": {"c": 2}})",
       "{\r\n\t\"a\": 1,\r\n\t\"b\": {\r\n\t\t\"c\": 2\r\n\t}\r\n}\r\n"},
      {"one-line file stays on one line", R"({"a":1,"l":[{"x":1}]})",
       R"({"a":1,"l":[{"x":1},{"y":2}],"n":3})", R"({"a":1,"l":[{"x":1},{"y":2}],"n":3})"},
      {"spaced one-line file keeps its spaces", R"({"a": 1, "b": 2})", R"({"b": 2, "c": "d"})",
       R"({"b": 2, "c": "d"})"},
      {"emptied object is empty again", "{\n  \"h\": {\n    \"x\": 1,\n    \"y\": 2\n  }\n}",
       R"({"h": {}})", "{\n  \"h\": {}\n}"},
      {"empty object gets the file's indentation", "{\n   \"h\": {}\n}", R"({"h": {"x": [1]}})",
       "{\n   \"h\": {\n      \"x\": [\n         1\n      ]\n   }\n}"},
      {"untouched numbers and escapes keep their spelling",
       "{\"n\": 12345678901234567890123, \"s\": \"caf\\u00e9\", \"f\": 1.50}",
       R"({"n": 12345678901234567890123, "s": "café", "f": 1.5, "t": 1})",
       "{\"n\": 12345678901234567890123, \"s\": \"caf\\u00e9\", \"f\": 1.50, \"t\": 1}"},
      {"entry moved to the end leaves the others alone",
       "[\n  {\"o\": 1},\n  {\"u\": 1}, // keep\n  {\"v\": 1}\n]",
       R"([{"u": 1}, {"v": 1}, {"o": 2}])",
       "[\n  {\"u\": 1}, // keep\n  {\"v\": 1},\n  {\n    \"o\": 2\n  }\n]"},
      {"changed entry is edited in place",
       "[{\"m\": \"B\", \"hooks\": [{\"c\": \"mine\"}, {\"c\": \"ours\"}]}]",
       R"([{"m": "B", "hooks": [{"c": "mine"}]}])",
       "[{\"m\": \"B\", \"hooks\": [{\"c\": \"mine\"}]}]"},
      {"entry inserted in front of one that stays", "[\n  1,\n  3\n]", "[1, 2, 3]",
       "[\n  1,\n  2,\n  3\n]"},
      {"all replaced, comment kept", "{\n  // about\n  \"a\": 1\n}", R"({"b": 2})",
       "{\n  \"b\": 2\n  // about\n}"},
      {"a file of just {} is written out", "{}", R"({"a": [1]})", "{\n  \"a\": [\n    1\n  ]\n}"},
      {"new member follows the comments of an empty object", "{\n  // a\n  /* b */\n}\n",
       R"({"x": 1})", "{\n  // a\n  /* b */\n  \"x\": 1\n}\n"},
      {"new entry goes before the bracket of a one-line list", "{\"l\": [ /* none */ ]}",
       R"({"l": [1, 2]})", "{\"l\": [ /* none */ 1, 2]}"},
      {"new member follows the last one's comment", "{\n  \"a\": 1 // note\n}",
       R"({"a": 1, "b": 2})", "{\n  \"a\": 1, // note\n  \"b\": 2\n}"},
      {"emptied object keeps its comment", "{\n  \"h\": { // mine\n    \"x\": 1\n  }\n}",
       R"({"h": {}})", "{\n  \"h\": { // mine\n  }\n}"},
      {"emptied object keeps its blank line", "{\n  \"h\": {\n\n    \"x\": 1\n  }\n}",
       R"({"h": {}})", "{\n  \"h\": {\n\n  }\n}"},
  };
  for (const EditCase& c : cases) {
    auto result = JsonText::edit(c.before, Json::parse(c.desired));
    ASSERT_TRUE(result) << c.name;
    EXPECT_EQ(*result, c.after) << c.name;
  }
}

TEST(JsonTextEdit, TrailingCommasStayWhereTheSyntaxAllowsThem) {
  const JsonText::Syntax jsonc{.trailingCommas = true};
  const std::string before = "{\n  \"a\": [\n    1,\n  ],\n}\n";
  EXPECT_THROW(JsonText::edit(before, Json::object()), JsonText::ParseError);
  auto added = JsonText::edit(before, Json::parse(R"({"a": [1, 2], "b": 3})"), jsonc);
  ASSERT_TRUE(added);
  EXPECT_EQ(*added, "{\n  \"a\": [\n    1,\n    2,\n  ],\n  \"b\": 3,\n}\n");
  EXPECT_EQ(JsonText::edit(*added, Json::parse(R"({"a": [1]})"), jsonc), before);

  // A comma on the line after its entry stays there; new entries follow it, each with its own.
  const std::string commaBelow = "{\n  \"a\": 1\n  ,\n}";
  added = JsonText::edit(commaBelow, Json::parse(R"({"a": 1, "b": 2, "c": 3})"), jsonc);
  EXPECT_EQ(added, "{\n  \"a\": 1\n  ,\n  \"b\": 2,\n  \"c\": 3,\n}");
  EXPECT_EQ(JsonText::edit(*added, Json::parse(R"({"a": 1})"), jsonc), commaBelow);

  const std::string oneLine = R"({"a": 1, })";
  added = JsonText::edit(oneLine, Json::parse(R"({"a": 1, "b": 2})"), jsonc);
  EXPECT_EQ(added, R"({"a": 1, "b": 2, })");
  EXPECT_EQ(JsonText::edit(*added, Json::parse(R"({"a": 1})"), jsonc), oneLine);
}

TEST(JsonTextEdit, RefusesAResultThatWouldNotHoldTheValue) {
  // Text that is not UTF-8 cannot be written as it is; better no change than a wrong one.
  EXPECT_EQ(JsonText::edit("{\"a\": 1}", Json{{"a", 1}, {"b", "\xff"}}), std::nullopt);
}

TEST(JsonTextAt, FindsAMembersTextThroughTheLastOfRepeatedNames) {
  const std::string text = "{\"a\": {\"b\": 1}, \"a\": {\"b\": [ /* x */ ]}, \"n\": 2}";
  EXPECT_EQ(JsonText::textAt(text, {"a", "b"}), "[ /* x */ ]");
  EXPECT_EQ(JsonText::textAt(text, {}), text);
  EXPECT_EQ(JsonText::textAt(text, {"n", "b"}), std::nullopt);
  EXPECT_EQ(JsonText::textAt(text, {"c"}), std::nullopt);
}

TEST(JsonTextParse, ReadsCommentsAndSaysWhereTextIsBroken) {
  EXPECT_EQ(JsonText::parse("\xEF\xBB\xBF// c\n{\"a\": /* b */ [1, 2.5, \"\\u00e9\"]}"),
            Json::parse(R"({"a": [1, 2.5, "é"]})"));
  const std::pair<const char*, const char*> broken[] = {
      {"{\n  \"a\": tru\n}", "parse error at line 2, column 8: invalid literal"},
      {"{\"a\": 1,}", "parse error at line 1, column 9: trailing comma"},
      {"{\"a\": 1 \"b\": 2}", "parse error at line 1, column 9: expected ',' or '}'"},
      {"[1] x", "parse error at line 1, column 5: unexpected text after the value"},
      {"{\"a\": \"x}", "parse error at line 1, column 7: unterminated string"},
      {"/* open", "parse error at line 1, column 1: unterminated comment"},
      {"", "parse error at line 1, column 1: expected a value"},
  };
  for (const auto& [text, message] : broken) {
    try {
      JsonText::parse(text);
      ADD_FAILURE() << "accepted " << text;
    } catch (const JsonText::ParseError& e) {
      EXPECT_STREQ(e.what(), message) << text;
    }
  }
  EXPECT_THROW(JsonText::parse(std::string(100000, '[')), JsonText::ParseError);
}

}  // namespace
}  // namespace talvane

// Reading the agent's payload and the app's answer as text.
#include <gtest/gtest.h>

#include "relay/relay.h"
#include "relay/utf8.h"

namespace talvane {
namespace {

using Json = nlohmann::json;

constexpr const char* kBad = "\xEF\xBF\xBD";

TEST(Utf8, RepairReplacesEachMaximalSubpart) {
  struct Case {
    std::string in, out;
  };
  const std::string b = kBad;
  for (const Case& c : std::vector<Case>{
           {"plain \xC3\xA9 \xF0\x9F\x98\x80", "plain \xC3\xA9 \xF0\x9F\x98\x80"},
           {"a\x80z", "a" + b + "z"},
           {"\xC0\xAF", b + b},                  // overlong lead
           {"\xE0\x80\xAF", b + b + b},          // overlong three-byte form
           {"\xED\xA0\x80", b + b + b},          // encoded surrogate
           {"\xF4\x90\x80\x80", b + b + b + b},  // past U+10FFFF
           {"\xE2\x82", b},                      // cut at the end
           {"\xE2\x82z", b + "z"},
           {"\xF0\x9F\x98z\xF0\x9F\x98", b + "z" + b},
           {"\xFF\xFE", b + b},
           {std::string("a\0b", 3), std::string("a\0b", 3)},
       }) {
    EXPECT_EQ(Utf8::repair(c.in), c.out) << c.in;
  }
}

TEST(Utf8, TrimTakesUnicodeSpaceAndLineBreaks) {
  EXPECT_EQ(Utf8::trim(" \t\r\n x  y \xC2\xA0\xE2\x80\xA8\xE3\x80\x80\xC2\x85\v\f"), "x  y");
  EXPECT_EQ(Utf8::trim("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");  // zero-width space is no space
  EXPECT_EQ(Utf8::trim("\xC3\xA9"), "\xC3\xA9");
  EXPECT_EQ(Utf8::trim(" \n "), "");
  EXPECT_EQ(Utf8::trim(""), "");
}

TEST(Payload, OnlyObjectsAreTaken) {
  EXPECT_TRUE(Relay::parsePayload(R"({"a":[1,{"b":null}]})"));
  EXPECT_TRUE(Relay::parsePayload(" {} \n"));
  for (const char* input :
       {"", " ", "[]", "1", "\"{}\"", "{", "{\"a\":1}x", "{\"a\":\"\\ud800\"]"}) {
    EXPECT_FALSE(Relay::parsePayload(input)) << input;
  }
}

TEST(Payload, LoneSurrogatesAndStrayBytesAreMended) {
  std::optional<Json> p = Relay::parsePayload(
      R"({"pair":"\ud83d\ude00","high":"x\ud83d","low":"\udc00y","esc":"\\ud800","q":"\"\ud800"})");
  ASSERT_TRUE(p);
  EXPECT_EQ((*p)["pair"], "\xF0\x9F\x98\x80");
  EXPECT_EQ((*p)["high"], std::string("x") + kBad);
  EXPECT_EQ((*p)["low"], std::string(kBad) + "y");
  EXPECT_EQ((*p)["esc"], "\\ud800");  // an escaped backslash, not an escape
  EXPECT_EQ((*p)["q"], std::string("\"") + kBad);

  p = Relay::parsePayload("{\"k\xFF\":\"\xC3\"}");
  ASSERT_TRUE(p);
  EXPECT_EQ((*p)[std::string("k") + kBad], kBad);
}

TEST(Payload, EventName) {
  Json p = {{"hook_event_name", "Stop"}, {"agent_action_name", "x"}};
  EXPECT_EQ(Relay::eventName(p, "Other"), "Stop");
  EXPECT_EQ(p["hook_event_name"], "Stop");

  p = {{"hook_event_name", 5}, {"agent_action_name", "post_write_code"}};
  EXPECT_EQ(Relay::eventName(p, "Other"), "post_write_code");
  EXPECT_EQ(p["hook_event_name"], 5);

  // An empty hook_event_name still counts as the payload's choice over agent_action_name, and
  // gives way only to the command line.
  p = {{"hook_event_name", ""}, {"agent_action_name", "x"}};
  EXPECT_EQ(Relay::eventName(p, "Stop"), "Stop");
  EXPECT_EQ(p["hook_event_name"], "Stop");
  p = {{"hook_event_name", ""}, {"agent_action_name", "x"}};
  EXPECT_EQ(Relay::eventName(p, nullptr), "");

  p = Json::object();
  EXPECT_EQ(Relay::eventName(p, nullptr), "");
  EXPECT_FALSE(p.contains("hook_event_name"));
}

TEST(Payload, HostObjectNamesOnlyWhatIsKnown) {
  EXPECT_EQ(Relay::hostObject(HostFacts{}), Json::object());
  HostFacts all{"/dev/pts/3", 40, "/usr/bin/tmux", 41, "devbox", "%12"};
  EXPECT_EQ(Relay::hostObject(all), (Json{{"tty", "/dev/pts/3"},
                                          {"pid", 40},
                                          {"bundle", "/usr/bin/tmux"},
                                          {"agentPid", 41},
                                          {"machine", "devbox"},
                                          {"tmuxPane", "%12"}}));
}

TEST(Payload, HomeFromPasswd) {
  const std::string passwd =
      "root:x:0:0:root:/root:/bin/bash\n"
      "broken:x:1000\n"
      "ann:x:1000:1000:Ann,,,:/home/ann:/usr/bin/zsh\n"
      "nohome:x:1001:1001:::/bin/sh";
  EXPECT_EQ(Relay::passwdHome(passwd, 0), "/root");
  EXPECT_EQ(Relay::passwdHome(passwd, 1000), "/home/ann");
  EXPECT_FALSE(Relay::passwdHome(passwd, 1001));
  EXPECT_FALSE(Relay::passwdHome(passwd, 10));
  EXPECT_FALSE(Relay::passwdHome("", 0));
}

}  // namespace
}  // namespace talvane

// The line scanner must agree with a full JSON parser on every line: which lines count at all,
// and what each member holds. A parser is the oracle here, on hand-picked and mutated lines.
#include "context/transcript_line.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "context/pricing.h"
#include "platform/files.h"
#include "platform/json.h"

namespace talvane {
namespace {

using namespace std::string_literals;

std::optional<Json> oracle(std::string_view text) {
  Json value = Json::parse(text.begin(), text.end(), nullptr, false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  return value;
}

void expectMember(std::string_view raw, const Json* expected, const std::string& what) {
  if (!expected) {
    EXPECT_TRUE(raw.empty()) << what;
    return;
  }
  ASSERT_FALSE(raw.empty()) << what;
  EXPECT_EQ(Json::parse(raw), *expected) << what;
  if (expected->is_string()) {
    EXPECT_EQ(TranscriptLine::string(raw), expected->get<std::string>());
  }
}

// Returns whether the line was an object, so that callers can see the fuzzing reach both sides.
bool expectSameAsParser(std::string_view text) {
  const auto mine = TranscriptLine::read(text);
  const auto theirs = oracle(text);
  EXPECT_EQ(mine.has_value(), theirs.has_value())
      << "line: " << json::compact(Json(std::string(text)));
  if (!mine || !theirs) return false;
  const std::string where = " in " + json::compact(Json(std::string(text)));
  expectMember(mine->type, json::member(*theirs, "type"), "type" + where);
  expectMember(mine->timestamp, json::member(*theirs, "timestamp"), "timestamp" + where);
  expectMember(mine->cwd, json::member(*theirs, "cwd"), "cwd" + where);
  expectMember(mine->entrypoint, json::member(*theirs, "entrypoint"), "entrypoint" + where);
  expectMember(mine->gitBranch, json::member(*theirs, "gitBranch"), "gitBranch" + where);
  expectMember(mine->customTitle, json::member(*theirs, "customTitle"), "customTitle" + where);
  expectMember(mine->lastPrompt, json::member(*theirs, "lastPrompt"), "lastPrompt" + where);
  expectMember(mine->message, json::member(*theirs, "message"), "message" + where);
  const Json* message = json::object(*theirs, "message");
  const Json none;
  const Json& inner = message ? *message : none;
  expectMember(mine->model, json::member(inner, "model"), "model" + where);
  expectMember(mine->id, json::member(inner, "id"), "id" + where);
  expectMember(mine->usage, json::member(inner, "usage"), "usage" + where);
  expectMember(mine->stopReason, json::member(inner, "stop_reason"), "stop_reason" + where);
  expectMember(mine->content, json::member(inner, "content"), "content" + where);
  return true;
}

TEST(TranscriptLine, ReadsTheMembersOfRealLines) {
  const auto data = files::read(TALVANE_TEST_DATA "/context/session.jsonl");
  ASSERT_TRUE(data);
  std::string_view rest = *data;
  int lines = 0;
  while (!rest.empty()) {
    const auto nl = rest.find('\n');
    EXPECT_TRUE(expectSameAsParser(rest.substr(0, nl)));
    ++lines;
    rest.remove_prefix(nl + 1);
  }
  EXPECT_EQ(lines, 10);

  const auto line = TranscriptLine::read(
      R"({"type":"assistant","message":{"id":"msg_1","model":"claude-opus-4-5","usage":{"input_tokens":3},"stop_reason":"end_turn"}})");
  ASSERT_TRUE(line);
  EXPECT_TRUE(TranscriptLine::equals(line->type, "assistant"));
  EXPECT_EQ(line->usage, R"({"input_tokens":3})");
  EXPECT_EQ(TranscriptLine::string(line->model), "claude-opus-4-5");
}

TEST(TranscriptLine, AcceptsAndRejectsExactlyAsAParser) {
  const std::vector<std::string> cases = {
      // structure
      "",
      " ",
      "{}",
      " {} \r",
      "[]",
      "\"text\"",
      "42",
      "null",
      "{",
      "}",
      "{\"a\":1,}",
      "{\"a\" 1}",
      "{\"a\":1}{}",
      "{\"a\":1} x",
      "{,}",
      "{\"a\":[1,]}",
      "{\"a\":[,1]}",
      "{\"a\":[1 2]}",
      "{\"a\":{\"b\":}}",
      "{\"a\":{\"b\" :\t[ {} , [] , {\"c\":[[]]} ]\n}}",
      "{1:2}",
      // literals and numbers
      "{\"a\":true,\"b\":false,\"c\":null}",
      "{\"a\":tru}",
      "{\"a\":nulll}",
      "{\"a\":True}",
      "{\"a\":01}",
      "{\"a\":-}",
      "{\"a\":1.}",
      "{\"a\":.5}",
      "{\"a\":+1}",
      "{\"a\":1e}",
      "{\"a\":1e+}",
      "{\"a\":-0.0e-0}",
      "{\"a\":1E5}",
      "{\"a\":1e400}",
      "{\"a\":-1e400}",
      "{\"a\":1e-400}",
      "{\"a\":18446744073709551615}",
      "{\"a\":18446744073709551616}",
      "{\"a\":-9223372036854775808}",
      "{\"a\":-9223372036854775809}",
      "{\"a\":1" + std::string(400, '0') + "}",
      "{\"a\":0." + std::string(400, '0') + "1}",
      // strings: escapes, surrogates, UTF-8
      R"({"a":"\"\\\/\b\f\n\r\t"})",
      R"({"a":"\x"})",
      R"({"a":"\u00e9\u0000"})",
      R"({"a":"\u00g0"})",
      R"({"a":"\u12"})",
      R"({"a":"\uD83D\uDE00"})",
      R"({"a":"\uD83D"})",
      R"({"a":"\uDE00"})",
      R"({"a":"\uD83Dx"})",
      R"({"a":"\uD83D\u0041"})",
      R"({"a":"\uD83D\uD83D"})",
      "{\"a\":\"tab\there\"}",
      "{\"a\":\"del\x7f\"}",
      "{\"a\":\"\xc3\xa9\"}",
      "{\"a\":\"\xc0\x80\"}",
      "{\"a\":\"\xc1\xbf\"}",
      "{\"a\":\"\xe0\x9f\x80\"}",
      "{\"a\":\"\xe0\xa0\x80\"}",
      "{\"a\":\"\xed\x9f\xbf\"}",
      "{\"a\":\"\xed\xa0\x80\"}",
      "{\"a\":\"\xf0\x8f\xbf\xbf\"}",
      "{\"a\":\"\xf0\x9f\x98\x80\"}",
      "{\"a\":\"\xf4\x8f\xbf\xbf\"}",
      "{\"a\":\"\xf4\x90\x80\x80\"}",
      "{\"a\":\"\xf5\x80\x80\x80\"}",
      "{\"a\":\"\x80\"}",
      "{\"a\":\"\xe2\x82\"}",
      "{\"a\":\"\xff\"}",
      "{\"a\":\"unterminated}",
      "{\"\xe2\x82\xac\":1}",
      // byte order mark and NUL
      "\xef\xbb\xbf{\"type\":\"user\"}",
      "\xef\xbb{}",
      " \xef\xbb\xbf{}",
      "{\"a\":1}\0garbage"s,
      "{\"a\":1}  \0\0{"s,
      "{\"a\":1\0}"s,
      "\0{}"s,
      "{\"a\":\"x\0\"}"s,
      // members the readers use: duplicates, escapes in names, message shapes
      R"({"type":"user","type":"assistant"})",
      R"({"typ\u0065":"user"})",
      R"({"type":"\u0075ser"})",
      R"({"message":{"usage":{"input_tokens":1}},"message":"gone"})",
      R"({"message":"x","message":{"model":"m"}})",
      R"({"message":{"message":{"usage":{}}}})",
      R"({"message":{"usage":{"input_tokens":1},"usage":null}})",
      R"({"message":[{"usage":{}}]})",
      R"({"content":"top","message":{"content":[{"type":"text","text":"\"usage\""}]}})",
      R"({"cwd":"/a","cwd":"","gitBranch":"HEAD","entrypoint":"sdk-ts","customTitle":"t","lastPrompt":"p","timestamp":"2030-01-01T00:00:00.000Z"})",
  };
  int objects = 0;
  for (const auto& text : cases) objects += expectSameAsParser(text);
  EXPECT_GT(objects, 25);
  EXPECT_LT(objects, static_cast<int>(cases.size()) - 40);
}

TEST(TranscriptLine, SurvivesDeepNestingAndDecodesEscapes) {
  expectSameAsParser("{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}");
  expectSameAsParser("{\"a\":" + std::string(100000, '[') + "}");
  std::string objects = "{\"a\":";
  for (int i = 0; i < 20000; ++i) objects += "{\"b\":";
  objects += "1" + std::string(20001, '}');
  EXPECT_TRUE(expectSameAsParser(objects));

  const auto line = TranscriptLine::read(R"({"cwd":"C:\\work\/x \u00e9\uD83D\uDE00\n"})");
  ASSERT_TRUE(line);
  EXPECT_EQ(TranscriptLine::string(line->cwd), "C:\\work/x \xc3\xa9\xf0\x9f\x98\x80\n");
  EXPECT_TRUE(TranscriptLine::equals(R"("\u0061ssistant")", "assistant"));
  EXPECT_FALSE(TranscriptLine::equals(R"("assistant ")", "assistant"));
  EXPECT_FALSE(TranscriptLine::equals("{}", "{}"));
}

// Strings are read 64 bytes at a time: escapes, runs of backslashes, quotes and multi-byte
// characters must read the same wherever they fall against those stretches.
TEST(TranscriptLine, AgreesWithAParserOnLongStrings) {
  const std::vector<std::string> valid = {"a",
                                          "abcdefghijklmnopqrstuvwxyz 0123456789",
                                          std::string(63, 'x'),
                                          "\\n",
                                          "\\\\",
                                          "\\\"",
                                          "\\/",
                                          "\\t",
                                          "\\b",
                                          "\\f",
                                          "\\r",
                                          "\\u00e9",
                                          "\\uD83D\\uDE00",
                                          "\xc3\xa9",
                                          "\xe2\x80\x94",
                                          "\xf0\x9f\x98\x80",
                                          "\x7f"};
  const std::vector<std::string> invalid = {"\\x",  "\"",    "\x01",         "\\",   "\\uD83D",
                                            "\xc3", "\\u12", "\xed\xa0\x80", "\\\n", "\xff"};
  std::mt19937 random(64);
  int objects = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string text;
    const std::size_t length = random() % 400;
    while (text.size() < length) {
      const auto roll = random() % 100;
      if (roll < 2) {
        text += invalid[random() % invalid.size()];
      } else if (roll < 12) {
        // A run of backslashes: pairs, or an odd run ending in an escape.
        const std::size_t pairs = random() % 40;
        text += std::string(2 * pairs, '\\') + (random() % 2 ? "\\n" : "");
      } else {
        text += valid[random() % valid.size()];
      }
    }
    const std::string line = "{\"type\":\"user\",\"message\":{\"content\":\"" + text +
                             "\"},\"cwd\":\"" + text.substr(0, random() % (text.size() + 1)) +
                             "\"}";
    objects += expectSameAsParser(line);
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GT(objects, 1000);
  EXPECT_LT(objects, 3900);
}

// Usage counts are read from the raw text too: they must come out as from the parsed object.
TEST(TranscriptLine, ReadsUsageCountsAsFromTheParsedObject) {
  const std::vector<std::string> values = {"0",
                                           "12",
                                           "-5",
                                           "-0",
                                           "1.5",
                                           "100.0",
                                           "1e3",
                                           "2E+2",
                                           "-1e-2",
                                           "9007199254740993",
                                           "9223372036854775807",
                                           "9223372036854775808",
                                           "18446744073709551615",
                                           "18446744073709551616",
                                           "-9223372036854775809",
                                           "1e300",
                                           "\"12\"",
                                           "null",
                                           "true",
                                           "[1]",
                                           "{\"a\":1}"};
  const std::vector<std::string> keys = {"input_tokens",
                                         "output_tokens",
                                         "cache_read_input_tokens",
                                         "cache_creation_input_tokens",
                                         "inp\\u0075t_tokens",
                                         "service_tier"};
  std::mt19937 random(5);
  for (int round = 0; round < 3000; ++round) {
    std::string text = "{";
    const int members = static_cast<int>(random() % 7);
    for (int m = 0; m < members; ++m) {
      if (m) text += ",";
      if (random() % 5 == 0) {
        text += "\"cache_creation\":";
        if (random() % 4 == 0) {
          text += values[random() % values.size()];
        } else {
          text += "{\"ephemeral_1h_input_tokens\":" + values[random() % values.size()];
          if (random() % 2)
            text += ",\"ephemeral_5m_input_tokens\":" + values[random() % values.size()];
          text += "}";
        }
      } else {
        text += "\"" + keys[random() % keys.size()] + "\" : " + values[random() % values.size()];
      }
    }
    text += "}";
    const auto parsed = json::parseObject(text);
    ASSERT_TRUE(parsed) << text;
    ASSERT_EQ(TranscriptLine::counts(text), Pricing::Usage::of(*parsed)) << text;
  }
  EXPECT_EQ(TranscriptLine::counts("[]"), Pricing::Usage{});
}

// Random edits of real lines around the bytes the scanner treats specially.
TEST(TranscriptLine, AgreesWithAParserOnMutatedLines) {
  const auto data = files::read(TALVANE_TEST_DATA "/context/session.jsonl");
  ASSERT_TRUE(data);
  std::vector<std::string> seeds;
  for (std::string_view rest = *data; !rest.empty();) {
    const auto nl = rest.find('\n');
    // Keep the seeds short so that edits land on structure as often as on text.
    if (nl < 1500) seeds.emplace_back(rest.substr(0, nl));
    rest.remove_prefix(nl + 1);
  }
  seeds.push_back(
      R"({"type":"assistant","message":{"id":"m","model":"x","usage":{"input_tokens":12,"cache_creation":{"ephemeral_1h_input_tokens":1.5e3}},"stop_reason":"end_turn"},"cwd":"/p"})");
  const std::vector<std::string> pieces = {"\"",
                                           "\\",
                                           "{",
                                           "}",
                                           "[",
                                           "]",
                                           ",",
                                           ":",
                                           " ",
                                           "\n",
                                           "\\u",
                                           "\\uD83D",
                                           "\\uDE00",
                                           "\\u0075",
                                           "0",
                                           "-",
                                           ".",
                                           "e",
                                           "1e400",
                                           "true",
                                           "null",
                                           "\x7f",
                                           "\x80",
                                           "\xc2",
                                           "\xc3\xa9",
                                           "\xe0\xa0",
                                           "\xed\xa0\x80",
                                           "\xf0\x9f\x98\x80",
                                           "\xf4\x90",
                                           "\xff",
                                           "\x1f",
                                           std::string(1, '\0'),
                                           "\xef\xbb\xbf",
                                           "usage",
                                           "message",
                                           "type"};
  std::mt19937 random(20300101);
  int objects = 0, rejected = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text = seeds[random() % seeds.size()];
    const int edits = 1 + static_cast<int>(random() % 3);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const std::size_t at = random() % text.size();
      const std::string& piece = pieces[random() % pieces.size()];
      switch (random() % 4) {
        case 0:
          text.insert(at, piece);
          break;
        case 1:
          text.replace(at, std::min<std::size_t>(piece.size(), text.size() - at), piece);
          break;
        case 2:
          text.erase(at, 1 + random() % 3);
          break;
        default:
          text.resize(at);
          break;
      }
    }
    if (expectSameAsParser(text)) {
      ++objects;
    } else {
      ++rejected;
    }
    if (::testing::Test::HasFailure()) break;
  }
  // Both outcomes must be well represented, or the comparison proves little.
  EXPECT_GT(objects, 2000);
  EXPECT_GT(rejected, 2000);
}

}  // namespace
}  // namespace talvane

#include "context/transcript_reader.h"

#include <gtest/gtest.h>

#include <set>

#include "context/pricing.h"
#include "platform/files.h"
#include "support/test_home.h"
#include "transcript_test_lines.h"

namespace talvane {
namespace {

using testing::append;
using testing::assistantLine;
using testing::overwrite;
using testing::randomLine;
using testing::userLine;

Json usage(int input, int output, int creation = 0, int read = 0) {
  return {{"input_tokens", input},
          {"output_tokens", output},
          {"cache_creation_input_tokens", creation},
          {"cache_read_input_tokens", read}};
}

class TranscriptReaderTest : public ::testing::Test {
 protected:
  talvane::testing::TempDir dir;
  std::string path = dir.path() + "/session.jsonl";
  TranscriptReader reader;
};

TEST_F(TranscriptReaderTest, ReadsARealTranscript) {
  const auto stats = reader.update(TALVANE_TEST_DATA "/context/session.jsonl");
  EXPECT_EQ(stats.customTitle, "Usage view");
  EXPECT_EQ(stats.lastPrompt, "Add a usage view to the panel");
  EXPECT_EQ(stats.firstPrompt, "Add a usage view to the panel");  // not the "/clear" echo
  EXPECT_EQ(stats.branch, "main");
  EXPECT_EQ(stats.entrypoint, "cli");
  EXPECT_EQ(stats.cwd, "/home/ana/src/talvane");
  EXPECT_EQ(stats.model, "claude-sonnet-4-5-20250929");
  EXPECT_EQ(stats.contextTokens, 4 + 500 + 17000);
  EXPECT_EQ(stats.contextWindow, 0);
  EXPECT_TRUE(stats.endedTurn);
  // msg_01A (two lines, costed once): 10 in, 2000 five-minute writes, 15000 reads, 5 out;
  // msg_01B: 4 in, 500 one-hour writes, 17000 reads, 300 out; Sonnet prices 3 / 15 / 0.3.
  const double first = (10 * 3 + 2000 * 3 * 1.25 + 15000 * 0.3 + 5 * 15) / 1e6;
  const double second = (4 * 3 + 500 * 3 * 2.0 + 17000 * 0.3 + 300 * 15) / 1e6;
  EXPECT_NEAR(stats.cost, first + second, 1e-12);
  ASSERT_NE(reader.stats(TALVANE_TEST_DATA "/context/session.jsonl"), nullptr);
  EXPECT_EQ(*reader.stats(TALVANE_TEST_DATA "/context/session.jsonl"), stats);
}

TEST_F(TranscriptReaderTest, LeavesAPartialLastLineForLater) {
  const std::string line = assistantLine("msg_1", "claude-haiku-4-5", usage(1000, 0));
  overwrite(path, userLine("hi") + "\n" + line.substr(0, 40));
  auto stats = reader.update(path);
  EXPECT_EQ(stats.cost, 0.0);
  EXPECT_FALSE(stats.model);
  EXPECT_EQ(reader.offset(path), userLine("hi").size() + 1);

  append(path, line.substr(40));
  EXPECT_EQ(reader.update(path), stats);  // complete now, but no newline yet

  append(path, "\n");
  stats = reader.update(path);
  EXPECT_NEAR(stats.cost, 1000 * 1.0 / 1e6, 1e-15);
  EXPECT_EQ(reader.offset(path), files::read(path)->size());
  EXPECT_EQ(reader.update(path), stats);  // nothing new: nothing counted twice
}

TEST_F(TranscriptReaderTest, CostsEachMessageOnceAndFollowsItsLastLine) {
  overwrite(path,
            assistantLine("msg_1", "claude-opus-4-5", usage(100, 10), "tool_use") + "\n" +
                assistantLine("msg_1", "claude-opus-4-6", usage(200, 20, 30, 40), "end_turn") +
                "\n");
  auto stats = reader.update(path);
  EXPECT_NEAR(stats.cost, (100 * 5.0 + 10 * 25.0) / 1e6, 1e-15);
  EXPECT_EQ(stats.model, "claude-opus-4-6");
  EXPECT_EQ(stats.contextTokens, 200 + 30 + 40);
  EXPECT_TRUE(stats.endedTurn);

  // Messages without an id can never be recognised again, so each line of them counts.
  append(path, assistantLine("", "claude-opus-4-6", usage(0, 1000)) + "\n" +
                   assistantLine("", "claude-opus-4-6", usage(0, 1000), "") + "\n");
  stats = reader.update(path);
  EXPECT_NEAR(stats.cost, (100 * 5.0 + 10 * 25.0 + 2 * 1000 * 25.0) / 1e6, 1e-15);
  EXPECT_FALSE(stats.endedTurn);
}

TEST_F(TranscriptReaderTest, StartsOverWhenTheFileShrinks) {
  overwrite(path, R"({"type":"custom-title","customTitle":"Old"})"
                  "\n" +
                      assistantLine("msg_1", "claude-haiku-4-5", usage(1000, 0)) + "\n" +
                      userLine("first question") + "\n");
  auto stats = reader.update(path);
  ASSERT_EQ(stats.customTitle, "Old");

  // Replaced by a shorter file that repeats a message id: the id is new again in it.
  overwrite(path, assistantLine("msg_1", "claude-haiku-4-5", usage(1000, 0)) + "\n");
  stats = reader.update(path);
  EXPECT_FALSE(stats.customTitle);
  EXPECT_FALSE(stats.firstPrompt);
  EXPECT_NEAR(stats.cost, 1000 * 1.0 / 1e6, 1e-15);

  overwrite(path, "");
  EXPECT_EQ(reader.update(path), TranscriptStats{});
  EXPECT_EQ(reader.offset(path), 0u);
}

TEST_F(TranscriptReaderTest, SyntheticMessagesNeitherNameTheModelNorCost) {
  overwrite(path, assistantLine("msg_1", "claude-sonnet-4-5", usage(10, 0)) + "\n" +
                      assistantLine("msg_2", "<synthetic>", usage(5000, 5000)) + "\n");
  const auto stats = reader.update(path);
  EXPECT_EQ(stats.model, "claude-sonnet-4-5");
  EXPECT_NEAR(stats.cost, 10 * 3.0 / 1e6, 1e-15);
  EXPECT_EQ(stats.contextTokens, 5000);  // the synthetic line is still the last with usage
}

TEST_F(TranscriptReaderTest, PicksTheFirstRealPromptAndKeepsBranchesOverHead) {
  Json toolResult{
      {"type", "user"},
      {"gitBranch", "HEAD"},
      {"message", {{"content", Json::array({{{"type", "tool_result"}, {"content", "x"}}})}}}};
  overwrite(path, userLine("<command-name>/model</command-name>") + "\n" +
                      userLine("This session is being continued from a previous conversation") +
                      "\n" + json::compact(toolResult) + "\n" + userLine("", "/b") + "\n");
  auto stats = reader.update(path);
  EXPECT_FALSE(stats.firstPrompt);
  EXPECT_EQ(stats.branch, "main");
  EXPECT_EQ(stats.cwd, "/b");

  append(path, userLine("Make the tests pass", "/c", "HEAD") + "\n" + userLine("and then ship it") +
                   "\n");
  stats = reader.update(path);
  EXPECT_EQ(stats.firstPrompt, "Make the tests pass");
  EXPECT_EQ(stats.branch, "main");
}

// Whatever a line holds, what is kept of it stays small: shown texts are cut (never inside a
// character), values that cannot be that long are ignored.
TEST_F(TranscriptReaderTest, KeepsShortTextsOfHugeLines) {
  constexpr std::size_t max = TranscriptReader::kMaxText;
  std::string title;
  for (std::size_t i = 0; i < max; ++i) title += "\xC3\xA9";  // twice the limit, in bytes
  const std::string prompt = "Fix it " + std::string(4 * max, 'p');
  const std::string longPath = "/" + std::string(max, 'd');
  overwrite(path, userLine("short", "/home/ana/app") + "\n" +
                      json::compact(Json{{"type", "custom-title"}, {"customTitle", title}}) + "\n" +
                      json::compact(Json{{"type", "last-prompt"}, {"lastPrompt", prompt}}) + "\n" +
                      userLine(prompt, longPath, std::string(max + 1, 'b')) + "\n");
  const TranscriptStats stats = reader.update(path);
  ASSERT_TRUE(stats.customTitle);
  EXPECT_EQ(stats.customTitle->size(), max);
  EXPECT_EQ(*stats.customTitle, title.substr(0, max));
  ASSERT_TRUE(stats.lastPrompt);
  EXPECT_EQ(*stats.lastPrompt, prompt.substr(0, max));
  EXPECT_EQ(stats.firstPrompt, "short");
  EXPECT_EQ(stats.cwd, "/home/ana/app") << "a path past the limit is no path";
  EXPECT_EQ(stats.branch, "main");

  // An odd cut falls back to the character's start; a first prompt is cut like the others.
  const std::string odd = "x" + title;
  overwrite(path, json::compact(Json{{"type", "custom-title"}, {"customTitle", odd}}) + "\n" +
                      userLine(odd) + "\n");
  TranscriptReader fresh;
  const TranscriptStats cut = fresh.update(path);
  EXPECT_EQ(*cut.customTitle, odd.substr(0, max - 1));
  EXPECT_EQ(*cut.firstPrompt, odd.substr(0, max - 1));

  // Long message ids: one message over two lines costs once, two that share a start twice.
  const std::string id(3 * max, 'm');
  const Json u = usage(1000, 0);
  overwrite(path, assistantLine(id + "1", "claude-haiku-4-5", u) + "\n" +
                      assistantLine(id + "1", "claude-haiku-4-5", u) + "\n" +
                      assistantLine(id + "2", "claude-haiku-4-5", u) + "\n" +
                      assistantLine("x", std::string(max + 1, 'M'), u) + "\n");
  TranscriptReader costs;
  const TranscriptStats costed = costs.update(path);
  EXPECT_DOUBLE_EQ(costed.cost, 3 * 1000 * 1.0 / 1e6) << "the long model prices as the last one";
  EXPECT_EQ(costed.model, "claude-haiku-4-5");
}

TEST_F(TranscriptReaderTest, IgnoresWhatItCannotRead) {
  EXPECT_EQ(reader.update(dir.path() + "/missing.jsonl"), TranscriptStats{});
  EXPECT_EQ(reader.stats(dir.path() + "/missing.jsonl"), nullptr);
  overwrite(path,
            "not json\n[1]\n{\"type\":\"user\",\"cwd\":\"/x\"\n" + userLine("ok", "/y") + "\n\n");
  EXPECT_EQ(reader.update(path).cwd, "/y");
}

// The reader must give exactly what parsing every line with a full JSON parser gives, for any
// way the file is appended to and any chunk size: the scanner it uses in place of a parser, and
// the chunked reading, may change nothing.
// An integral count; one that does not fit 64 bits counts nothing.
std::int64_t integer(const Json& usage, std::string_view key) {
  return Pricing::Count::of(json::member(usage, key)).integer.value_or(0);
}

TranscriptStats parsedWithAParser(std::string_view content) {
  TranscriptStats st;
  std::set<std::string> seen;
  const auto last = content.rfind('\n');
  if (last == std::string_view::npos) return st;
  std::string_view rest = content.substr(0, last + 1);
  while (!rest.empty()) {
    const auto nl = rest.find('\n');
    const std::string_view text = rest.substr(0, nl);
    rest.remove_prefix(nl + 1);
    const Json j = Json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) continue;
    const auto type = json::string(j, "type").value_or("");
    const Json* message = json::object(j, "message");
    if (type == "custom-title") {
      if (auto v = json::nonEmpty(j, "customTitle")) st.customTitle = v;
    } else if (type == "last-prompt") {
      if (auto v = json::nonEmpty(j, "lastPrompt")) st.lastPrompt = v;
    } else if (type == "user") {
      if (auto v = json::nonEmpty(j, "entrypoint")) st.entrypoint = v;
      if (auto v = json::nonEmpty(j, "cwd")) st.cwd = v;
      if (auto v = json::nonEmpty(j, "gitBranch"); v && *v != "HEAD") st.branch = v;
      if (!st.firstPrompt && message) {
        auto c = json::nonEmpty(*message, "content");
        if (c && (*c)[0] != '<' && !c->starts_with("This session is being continued"))
          st.firstPrompt = c;
      }
    } else if (type == "assistant" && message && json::object(*message, "usage")) {
      const Json& u = *json::object(*message, "usage");
      const std::string model = json::string(*message, "model").value_or(st.model.value_or(""));
      if (!model.empty() && model != "<synthetic>") st.model = model;
      st.contextTokens = integer(u, "input_tokens") + integer(u, "cache_creation_input_tokens") +
                         integer(u, "cache_read_input_tokens");
      const auto id = json::string(*message, "id");
      if (!id || seen.insert(*id).second) st.cost += Pricing::cost(model, u);
      if (auto v = json::nonEmpty(j, "cwd")) st.cwd = v;
      st.endedTurn = json::string(*message, "stop_reason") == "end_turn";
    }
  }
  return st;
}

TEST(TranscriptReaderEquivalence, MatchesAFullParserForAnyAppendsAndChunkSizes) {
  talvane::testing::TempDir dir;
  std::mt19937 random(7);
  int compared = 0;
  for (std::size_t chunk : {std::size_t{1}, std::size_t{5}, std::size_t{64}, std::size_t{4096},
                            AppendedLines::kChunk}) {
    for (int file = 0; file < 4; ++file) {
      const std::string path =
          dir.path() + "/t" + std::to_string(chunk) + "-" + std::to_string(file);
      std::string content;
      for (int i = 0; i < 80; ++i) content += randomLine(random);
      TranscriptReader reader(chunk);
      std::size_t written = 0;
      overwrite(path, "");
      while (written < content.size()) {
        const std::size_t piece =
            std::min<std::size_t>(content.size() - written, 1 + random() % 600);
        append(path, content.substr(written, piece));
        written += piece;
        ASSERT_EQ(reader.update(path), parsedWithAParser(content.substr(0, written)))
            << "chunk " << chunk << " file " << file << " at " << written;
        ++compared;
      }
      // A rewrite from scratch must give what the new content alone gives.
      const std::string shorter = content.substr(0, content.size() / 3);
      overwrite(path, shorter);
      ASSERT_EQ(reader.update(path), parsedWithAParser(shorter));
    }
  }
  EXPECT_GT(compared, 300);
}

}  // namespace
}  // namespace talvane

#include "context/usage_meter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

#include "context/pricing.h"
#include "platform/manual_loop.h"
#include "support/test_home.h"
#include "transcript_test_lines.h"

namespace talvane {
namespace {

using testing::append;
using testing::assistantLine;
using testing::overwrite;
using testing::randomLine;
using testing::userLine;

constexpr Date kJan1 = 1893456000;  // 2030-01-01T00:00:00Z

void setModified(const std::string& path, Date when) {
  timespec times[2];
  for (auto& t : times) {
    t.tv_sec = static_cast<time_t>(std::floor(when));
    t.tv_nsec = static_cast<long>((when - std::floor(when)) * 1e9);
  }
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Runs the test in a zone five hours east of UTC, so that local and UTC days differ.
class UsageMeterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) oldZone_ = tz;
    setenv("TZ", "XYZ-5", 1);
    tzset();
  }
  void TearDown() override {
    if (oldZone_) {
      setenv("TZ", oldZone_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  std::string transcript(const std::string& project, const std::string& id, const std::string& text,
                         Date modified) {
    const auto path = home.write(".claude/projects/" + project + "/" + id + ".jsonl", text);
    setModified(path, modified);
    return path;
  }

  talvane::testing::TestHome home;
  ManualLoop loop{kJan1 + 18 * 3600};  // 23:00 local on January 1st
  std::optional<std::string> oldZone_;
};

Json model(const std::string& label, double cost, std::int64_t tokens) {
  return {{"model", label}, {"cost", cost}, {"tokens", tokens}};
}

TEST_F(UsageMeterTest, StartsAgainAtLocalMidnight) {
  const Date localMidnight = kJan1 + 19 * 3600;
  const std::string path =
      transcript("-home-ana-app", "s1",
                 assistantLine("msg_1", "claude-opus-4-5", {{"output_tokens", 1000}}, "end_turn",
                               "2030-01-01T18:00:00.000Z") +
                     "\n" +
                     // 23:59:59 local on December 31st: another day
                     assistantLine("msg_0", "claude-opus-4-5", {{"output_tokens", 9000}},
                                   "end_turn", "2029-12-31T18:59:59.999Z") +
                     "\n",
                 loop.now());
  UsageMeter meter(loop);
  EXPECT_EQ(meter.snapshot(),
            (Json{{"today", 0.025}, {"models", {model("Opus 4.5", 0.025, 1000)}}}));

  loop.advance(3600);  // 00:00 local, January 2nd
  ASSERT_EQ(UsageMeter::startOfDay(loop.now()), localMidnight);
  append(path, assistantLine("msg_2", "claude-haiku-4-5-20251001", {{"input_tokens", 2000}},
                             "end_turn", "2030-01-01T19:00:00.000Z") +
                   "\n");
  setModified(path, loop.now());
  // Yesterday's file, whatever its lines say, is not read at all.
  transcript("-home-ana-other", "s2",
             assistantLine("msg_3", "claude-opus-4-5", {{"output_tokens", 1}}, "end_turn",
                           "2030-01-01T19:30:00.000Z") +
                 "\n",
             localMidnight - 1);
  EXPECT_EQ(meter.snapshot(),
            (Json{{"today", 0.002}, {"models", {model("Haiku 4.5", 0.002, 2000)}}}));
  EXPECT_EQ(meter.snapshot()["today"], 0.002);  // reading again adds nothing
}

TEST_F(UsageMeterTest, CountsAssistantUsageOnceAndNothingElse) {
  const Date now = loop.now();
  const std::string stamp = "2030-01-01T17:00:00.000Z";
  auto line = [&](const std::string& id, const std::string& m, Json usage) {
    return assistantLine(id, m, std::move(usage), "end_turn", stamp) + "\n";
  };
  transcript(
      "p1", "a",
      line("msg_1", "claude-sonnet-4-5", {{"input_tokens", 100}, {"output_tokens", 10}}) +
          line("msg_1", "claude-sonnet-4-5", {{"input_tokens", 100}, {"output_tokens", 500}}) +
          line("msg_2", "<synthetic>", {{"output_tokens", 500}}) +
          line("msg_3", "gpt-6", {{"input_tokens", 7}, {"output_tokens", 3}}) +
          line("", "claude-opus-4-5", {{"output_tokens", 40}}) +
          line("", "claude-opus-4-5", {{"output_tokens", 40}}) +
          // A line that does not count leaves the message's next line free to.
          line("msg_7", "<synthetic>", {{"output_tokens", 5}}) +
          line("msg_7", "claude-opus-4-5", {{"output_tokens", 40}}) +
          // "usage" only inside text, or a usage that is no object: not usage.
          userLine(R"(the "usage" key)") + "\n" + R"({"type":"assistant","timestamp":")" + stamp +
          R"(","message":{"id":"msg_4","model":"claude-opus-4-5","content":"\"usage\":{}"}})" +
          "\n" + R"({"type":"assistant","timestamp":")" + stamp +
          R"(","message":{"id":"msg_5","model":"claude-opus-4-5","usage":[1]}})" + "\n" +
          R"({"type":"assistant","timestamp":")" + stamp +
          R"(","message":{"id":"msg_6","usage":{"output_tokens":9}}})" + "\n",
      now);
  transcript("p2", "b", line("msg_1", "claude-sonnet-4-5", {{"output_tokens", 100000}}), now);
  transcript("p2", "notes.txt", "", now);

  UsageMeter meter(loop);
  const Json snapshot = meter.snapshot();
  const double sonnet = (100 * 3.0 + 10 * 15.0) / 1e6;
  const double opus = 3 * 40 * 25.0 / 1e6;
  EXPECT_EQ(snapshot["models"], (Json{model("Opus 4.5", opus, 120),
                                      model("Sonnet 4.5", sonnet, 110), model("Gpt 6", 0.0, 10)}));
  EXPECT_DOUBLE_EQ(snapshot["today"].get<double>(), opus + sonnet);
}

// A dated and an undated identifier of one model are one row, whatever the files' order.
TEST_F(UsageMeterTest, OneRowPerModelAsTheUserKnowsIt) {
  const std::string stamp = "2030-01-01T17:00:00.000Z";
  auto line = [&](const std::string& id, const std::string& m, std::int64_t out) {
    return assistantLine(id, m, {{"output_tokens", out}}, "end_turn", stamp) + "\n";
  };
  transcript("p1", "a", line("m1", "claude-sonnet-4-5", 1000) + line("m2", "claude-haiku-4-5", 10),
             loop.now());
  transcript("p2", "b",
             line("m3", "claude-sonnet-4-5-20250929", 2000) +
                 line("m4", "claude-haiku-4-5-20251001", 20) +
                 line("m1", "claude-sonnet-4-5", 1000),
             loop.now());
  for (unsigned workers : {1u, 2u}) {
    UsageMeter meter(loop, workers);
    const Json snapshot = meter.snapshot();
    const Json& models = snapshot["models"];
    ASSERT_EQ(models.size(), 2u) << snapshot;
    EXPECT_EQ(models[0]["model"], "Sonnet 4.5");
    EXPECT_EQ(models[0]["tokens"], 3000);
    EXPECT_DOUBLE_EQ(models[0]["cost"].get<double>(), 3000 * 15.0 / 1e6);
    EXPECT_EQ(models[1]["model"], "Haiku 4.5");
    EXPECT_EQ(models[1]["tokens"], 30);
    EXPECT_DOUBLE_EQ(models[1]["cost"].get<double>(), 30 * 5.0 / 1e6);
    EXPECT_DOUBLE_EQ(snapshot["today"].get<double>(), (3000 * 15.0 + 30 * 5.0) / 1e6);
  }
}

// The app's meter reads off the loop and hands its totals back on it.
TEST_F(UsageMeterTest, LiveUsageAppliesItsTotalsOnTheLoopOnly) {
  const std::string stamp = "2030-01-01T17:00:00.000Z";
  const std::string path = transcript(
      "p", "s",
      assistantLine("m1", "claude-haiku-4-5", {{"output_tokens", 100}}, "end_turn", stamp) + "\n",
      loop.now());
  std::vector<Json> seen;
  {
    LiveUsage live(loop, Background::inline_());
    live.refresh([&](const Json& totals) { seen.push_back(totals); });
    EXPECT_FALSE(live.latest()) << "nothing is applied before the loop runs";
    EXPECT_TRUE(seen.empty());
    loop.runPending();
    ASSERT_TRUE(live.latest());
    EXPECT_EQ((*live.latest())["models"][0]["tokens"], 100);
    ASSERT_EQ(seen.size(), 1u);

    append(
        path,
        assistantLine("m2", "claude-haiku-4-5", {{"output_tokens", 5}}, "end_turn", stamp) + "\n");
    setModified(path, loop.now());
    live.keepFresh(10);
    loop.advance(10);
    EXPECT_EQ((*live.latest())["models"][0]["tokens"], 105) << "kept fresh without being asked";

    live.refresh([&](const Json& totals) { seen.push_back(totals); });
  }
  loop.runPending();
  EXPECT_EQ(seen.size(), 1u) << "a result that arrives after the meter is gone is dropped";
}

TEST_F(UsageMeterTest, AShrunkenFileAddsNothingUntilItGrowsPastItsOldEnd) {
  const std::string stamp = "2030-01-01T17:00:00.000Z";
  const std::string first =
      assistantLine("msg_1", "claude-haiku-4-5", {{"output_tokens", 100}}, "end_turn", stamp) +
      "\n";
  const std::string path = transcript("p", "s", first + first, loop.now());
  UsageMeter meter(loop);
  EXPECT_EQ(meter.snapshot()["models"][0]["tokens"], 100);

  overwrite(
      path,
      assistantLine("msg_2", "claude-haiku-4-5", {{"output_tokens", 5}}, "end_turn", stamp) + "\n");
  setModified(path, loop.now());
  EXPECT_EQ(meter.snapshot()["models"][0]["tokens"], 100);

  append(path,
         std::string(first.size() * 2, ' ') + "\n" +
             assistantLine("msg_3", "claude-haiku-4-5", {{"output_tokens", 7}}, "end_turn", stamp) +
             "\n");
  setModified(path, loop.now());
  EXPECT_EQ(meter.snapshot()["models"][0]["tokens"], 107);  // msg_2 lay before the old end
}

TEST_F(UsageMeterTest, NoProjectsMeansNoUsage) {
  UsageMeter meter(loop);
  EXPECT_EQ(meter.snapshot(), (Json{{"today", 0.0}, {"models", Json::array()}}));
}

TEST(UsageMeterTimestamps, ReadInternetDateTimes) {
  EXPECT_EQ(UsageMeter::parseTimestamp("2030-01-01T00:00:00.000Z"), kJan1);
  EXPECT_DOUBLE_EQ(*UsageMeter::parseTimestamp("2030-01-01T10:20:30.25Z"), kJan1 + 37230.25);
  EXPECT_EQ(UsageMeter::parseTimestamp("2030-01-01T02:00:00.5+02:00"), kJan1 + 0.5);
  EXPECT_EQ(UsageMeter::parseTimestamp("2029-12-31T22:00:00.000-02:00"), kJan1);
  EXPECT_EQ(UsageMeter::parseTimestamp("2030-01-01T00:00:00Z"), kJan1);
  EXPECT_EQ(UsageMeter::parseTimestamp("2028-02-29T00:00:00.000Z"), 1835395200.0);
  for (const char* bad :
       {"", "2030-01-01", "2030-01-01T00:00:00.000", "2030-02-29T00:00:00.000Z",
        "2030-13-01T00:00:00.000Z", "2030-01-01T24:00:00.000Z", "2030-01-01T00:00:00.Z",
        "2030-01-01 00:00:00.000Z", "2030-01-01T00:00:00.000Zx", "2030-01-01T00:00:00.000+0200"})
    EXPECT_FALSE(UsageMeter::parseTimestamp(bad)) << bad;
}

// An integral count; one that does not fit 64 bits counts nothing.
std::int64_t integer(const Json& usage, std::string_view key) {
  return Pricing::Count::of(json::member(usage, key)).integer.value_or(0);
}

// The meter with a full parser and the "usage" byte test as the only shortcut, read from scratch.
Json parsedWithAParser(std::string_view content, Date day) {
  std::set<std::string> seen;
  std::map<std::string, double> costs;
  std::map<std::string, std::int64_t> tokens;
  std::string_view rest = content.substr(0, content.rfind('\n') + 1);
  while (!rest.empty()) {
    const auto nl = rest.find('\n');
    const std::string_view text = rest.substr(0, nl);
    rest.remove_prefix(nl + 1);
    if (text.find("\"usage\"") == std::string_view::npos) continue;
    const Json j = Json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object() || json::string(j, "type") != "assistant") continue;
    const auto time = UsageMeter::parseTimestamp(json::string(j, "timestamp").value_or(""));
    const Json* message = json::object(j, "message");
    if (!time || *time < day || !message || !json::object(*message, "usage")) continue;
    const auto m = json::string(*message, "model");
    if (!m || *m == "<synthetic>") continue;
    if (auto id = json::string(*message, "id"); id && !seen.insert(*id).second) continue;
    const Json& u = *json::object(*message, "usage");
    costs[*m] += Pricing::cost(*m, u);
    tokens[*m] += integer(u, "output_tokens") + integer(u, "input_tokens");
  }
  // Identifiers of one label become one row, in the order the labels first come up.
  std::vector<std::pair<std::string, double>> order;
  std::map<std::string, std::int64_t> labelTokens;
  for (auto& [m, cost] : costs) {
    const std::string label = Pricing::label(m);
    auto row = std::find_if(order.begin(), order.end(), [&](auto& r) { return r.first == label; });
    if (row == order.end()) row = order.insert(order.end(), {label, 0.0});
    row->second += cost;
    labelTokens[label] += tokens[m];
  }
  std::stable_sort(order.begin(), order.end(),
                   [](auto& a, auto& b) { return a.second > b.second; });
  Json models = Json::array();
  double total = 0;
  for (auto& [label, cost] : order) {
    total += cost;
    models.push_back(model(label, cost, labelTokens[label]));
  }
  return {{"today", total}, {"models", models}};
}

TEST_F(UsageMeterTest, MatchesAFullParserForAnyAppendsAndChunkSizes) {
  loop.setNow(kJan1 + 12 * 3600);  // 17:00 local on January 1st; lines of the 2nd count too
  const Date day = UsageMeter::startOfDay(loop.now());
  std::mt19937 random(11);
  int counted = 0;
  for (unsigned workers : {1u, 2u, 3u}) {
    for (int file = 0; file < 3; ++file) {
      std::string content;
      for (int i = 0; i < 120; ++i) content += randomLine(random);
      UsageMeter meter(loop, workers);
      const std::string path = transcript("p", "s", "", loop.now());
      std::size_t written = 0;
      while (written < content.size()) {
        const std::size_t piece =
            std::min<std::size_t>(content.size() - written, 1 + random() % 1500);
        append(path, content.substr(written, piece));
        written += piece;
        setModified(path, loop.now());
        const Json expected = parsedWithAParser(content.substr(0, written), day);
        ASSERT_EQ(meter.snapshot(), expected) << workers << " workers, at " << written;
        counted += static_cast<int>(expected["models"].size());
      }
      ::unlink(path.c_str());
    }
  }
  EXPECT_GT(counted, 100);
}

}  // namespace
}  // namespace talvane

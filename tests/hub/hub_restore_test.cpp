#include <gtest/gtest.h>

#include <fstream>

#include "hub_test_support.h"
#include "support/test_home.h"

namespace talvane::testing {
namespace {

class HubRestoreTest : public HubTest {
 public:
  HubRestoreTest() {
    settings.recentTranscripts = [this](int minutes, Date now) {
      askedMinutes.push_back(minutes);
      askedAt.push_back(now);
      return recent;
    };
  }

  // A transcript in the temporary home, listed as modified `secondsAgo`.
  void transcript(const std::string& id, double secondsAgo, bool ended, bool withModel = true,
                  const std::string& cwd = "/tmp/restored") {
    std::string text = R"({"type":"user","cwd":")" + cwd +
                       R"(","message":{"content":"First prompt"}})"
                       "\n";
    text += std::string(R"({"type":"assistant","message":{"id":"m1",)") +
            (withModel ? R"("model":"claude-sonnet-4-5",)" : "") +
            R"("usage":{"input_tokens":10},"stop_reason":)" + (ended ? R"("end_turn")" : "null") +
            "}}\n";
    text += R"({"type":"last-prompt","lastPrompt":"## Ship it\nShip the **release**"})"
            "\n";
    const std::string path = home.write(".claude/projects/p/" + id + ".jsonl", text);
    recent.push_back({id, path, loop.now() - secondsAgo});
  }

  TestHome home;
  std::vector<RecentTranscript> recent;
  std::vector<int> askedMinutes;
  std::vector<Date> askedAt;
};

TEST_F(HubRestoreTest, RecentTranscriptsComeBackWithTheirMood) {
  transcript("fresh", 10, false);
  transcript("fresh-ended", 10, true);
  transcript("ended", 600, true);
  transcript("stale", 600, false);
  transcript("no-model", 10, false, false);
  transcript("no-cwd", 10, false, true, "");
  hub().restoreRecent();
  loop.runPending();
  EXPECT_EQ(askedMinutes, (std::vector<int>{120}));
  EXPECT_EQ(askedAt, (std::vector<Date>{loop.now()}));

  std::vector<std::string> restored;
  for (const Session& s : hub().sessions()) restored.push_back(s.id);
  EXPECT_EQ(restored, (std::vector<std::string>{"claude:fresh", "claude:fresh-ended",
                                                "claude:ended", "claude:stale"}));
  EXPECT_EQ(get("claude:fresh").mood, Mood::working);
  EXPECT_EQ(get("claude:fresh-ended").mood, Mood::done);
  EXPECT_EQ(get("claude:ended").mood, Mood::done);
  EXPECT_EQ(get("claude:ended").finishedAt, loop.now() - 600);
  EXPECT_EQ(get("claude:stale").mood, Mood::idle);
  EXPECT_FALSE(get("claude:stale").finishedAt);

  const Session& s = get("claude:fresh");
  EXPECT_EQ(s.root, "/tmp/restored");
  EXPECT_EQ(s.title, "Ship the release");
  EXPECT_EQ(s.updated, loop.now() - 10);
  EXPECT_EQ(s.transcript, recent[0].path);
  EXPECT_EQ(s.stats.model, "claude-sonnet-4-5");
  EXPECT_EQ(s.agent, Agent::claude);
  // Each gets its own colour.
  EXPECT_EQ(get("claude:stale").colorIndex, 3);
}

TEST_F(HubRestoreTest, HiddenAndKnownSessionsAreLeftAlone) {
  hideAfter = 0;
  send(event("SessionStart", "known", {{"cwd", "/tmp/live"}}));
  store.set("tucked",
            Json{{"claude:hidden", loop.now() - 100}, {"claude:active-since", loop.now() - 100}});
  restart();
  send(event("SessionStart", "known", {{"cwd", "/tmp/live"}}));
  transcript("known", 5, false);
  transcript("hidden", 95, false);          // last written 5 s after it was hidden
  transcript("active-since", 94.9, false);  // written later than that
  hub().restoreRecent();
  loop.runPending();
  EXPECT_EQ(askedMinutes, (std::vector<int>{480}));
  EXPECT_EQ(get("claude:known").root, "/tmp/live");
  EXPECT_EQ(hub().find("claude:hidden"), nullptr);
  EXPECT_NE(hub().find("claude:active-since"), nullptr);
}

// The listing and the reading happen on the worker; the loop only takes the results in, and
// what happened meanwhile (an event, lines appended) is not lost.
TEST_F(HubRestoreTest, TranscriptsAreReadOffTheLoop) {
  std::vector<std::function<void()>> held;
  settings.transcriptReads = [&](std::function<void()> job) { held.push_back(std::move(job)); };
  transcript("quiet", 10, false);
  transcript("known", 10, false);
  hub().restoreRecent();
  loop.runPending();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_TRUE(askedMinutes.empty()) << "nothing is listed on the loop";
  EXPECT_TRUE(hub().sessions().empty());

  send(event("SessionStart", "known", {{"cwd", "/tmp/live"}}));
  held[0]();
  EXPECT_EQ(askedMinutes, (std::vector<int>{120}));
  EXPECT_EQ(hub().find("claude:quiet"), nullptr) << "results wait for the loop";
  std::ofstream(recent[0].path, std::ios::app)
      << R"({"type":"assistant","message":{"id":"m2","model":"claude-opus-4-5",)"
      << R"("usage":{"input_tokens":1000},"stop_reason":"end_turn"}})"
      << "\n";
  const int before = changes;
  loop.runPending();
  ASSERT_EQ(held.size(), 2u) << "what was appended is read off the loop too";
  EXPECT_EQ(hub().find("claude:quiet"), nullptr) << "sessions come back once it is read";
  held[1]();
  loop.runPending();

  const Session& quiet = get("claude:quiet");
  EXPECT_EQ(quiet.stats.model, "claude-opus-4-5") << "lines appended meanwhile count";
  EXPECT_DOUBLE_EQ(quiet.stats.cost, (10 * 3.0 + 1000 * 5.0) / 1e6);
  EXPECT_EQ(quiet.mood, Mood::done);
  EXPECT_EQ(get("claude:known").root, "/tmp/live") << "an event's session is left alone";
  EXPECT_GT(changes, before);
}

// The Hub gone before the read comes back: nothing is applied to it.
TEST_F(HubRestoreTest, AReadOutlivingTheHubIsDropped) {
  std::vector<std::function<void()>> held;
  settings.transcriptReads = [&](std::function<void()> job) { held.push_back(std::move(job)); };
  transcript("quiet", 10, false);
  hub().restoreRecent();
  restart();
  held[0]();
  EXPECT_GE(loop.runPending(), 1);
  EXPECT_TRUE(hub().sessions().empty());
}

}  // namespace
}  // namespace talvane::testing

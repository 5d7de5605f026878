#include <gtest/gtest.h>

#include "hub_test_support.h"

namespace talvane::testing {
namespace {

class HubStoreTest : public HubTest {
 protected:
  // A stored session that had its last event `minutesAgo` minutes ago.
  void addIdle(const std::string& id, double minutesAgo, Agent agent = Agent::claude) {
    Session s = hub().session(id, agent, "");
    s.updated = loop.now() - minutesAgo * 60;
    hub().store(s);
  }
};

TEST_F(HubStoreTest, ChangesWithinOnePassNotifyOnceAfterThePass) {
  for (int i = 0; i < 10; ++i)
    hub().store(hub().session("claude:" + std::to_string(i), Agent::claude, ""));
  hub().select("claude:3");
  hub().setOpen(true);
  EXPECT_EQ(changes, 0) << "never from inside the change";
  loop.runPending();
  EXPECT_EQ(changes, 1);

  hub().setOpen(true);  // no change
  loop.runPending();
  EXPECT_EQ(changes, 1);
  hub().setOpen(false);
  loop.runPending();
  EXPECT_EQ(changes, 2);
}

TEST_F(HubStoreTest, AnAgentsOwnIdNamesItsSessionWhenUnambiguous) {
  addIdle("claude:sess-1", 1);
  addIdle("gemini:sess-1", 1, Agent::gemini);
  addIdle("claude:sess-2", 1);
  using Ids = std::vector<std::string>;
  EXPECT_EQ(hub().idsMatching("sess-2"), Ids{"claude:sess-2"});
  EXPECT_EQ(hub().idsMatching("claude:sess-1"), Ids{"claude:sess-1"});
  EXPECT_EQ(hub().idsMatching("sess-1"), (Ids{"claude:sess-1", "gemini:sess-1"}));
  EXPECT_EQ(hub().idsMatching("sess"), Ids{});
  EXPECT_EQ(hub().idsMatching(""), Ids{});

  std::vector<std::optional<std::string>> ended;
  hub().jump("claude:gone", [&](std::optional<std::string> why) { ended.push_back(why); });
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0], "no session claude:gone");
}

// Many agents asking at once: the panel, which redraws whole when called, is called once for
// the pass rather than once per request; every request still waits under its own session.
TEST_F(HubStoreTest, ABurstOfWaitingRequestsCallsForAttentionOncePerPass) {
  std::vector<Relay> relays;
  for (int i = 0; i < 300; ++i) relays.push_back(permission("s" + std::to_string(i)));
  EXPECT_EQ(attentions, 0) << "never from inside the change";
  loop.runPending();
  EXPECT_EQ(attentions, 1);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(hub().queue().size(), 300u);
  EXPECT_EQ(hub().responderCount(), 300u);

  // Removing one shifts the others; each is still found with its own request.
  send(event("SessionEnd", "s0"));
  for (int i = 1; i < 300; ++i) {
    const std::string id = "claude:s" + std::to_string(i);
    const Session* s = hub().find(id);
    ASSERT_NE(s, nullptr) << id;
    ASSERT_TRUE(s->pending);
    EXPECT_EQ(s->pending->id, *relays[static_cast<std::size_t>(i)].pendingId);
  }
  EXPECT_EQ(hub().find("claude:s0"), nullptr);
  permission("s0");
  loop.runPending();
  EXPECT_EQ(attentions, 2);
  EXPECT_EQ(hub().sessions().back().id, "claude:s0");
}

TEST_F(HubStoreTest, ColourSlotsReuseTheFirstFreeVisibleSlot) {
  for (int i = 0; i < 9; ++i) {
    Session s = hub().session("claude:" + std::to_string(i), Agent::claude, "");
    EXPECT_EQ(s.colorIndex, i);
    hub().store(s);
  }
  // All nine in use: the count of stored sessions, modulo 9.
  Session tenth = hub().session("claude:9", Agent::claude, "");
  EXPECT_EQ(tenth.colorIndex, 0);
  hub().store(tenth);
  EXPECT_EQ(hub().session("claude:10", Agent::claude, "").colorIndex, 1);

  hub().dismiss("claude:4");
  EXPECT_EQ(hub().session("claude:10", Agent::claude, "").colorIndex, 4);
  // An existing session keeps its slot.
  EXPECT_EQ(hub().session("claude:4", Agent::claude, "").colorIndex, 4);
}

TEST_F(HubStoreTest, SessionsAgeOutAfterHideAfterUnlessBusy) {
  addIdle("claude:fresh", 119);
  addIdle("claude:old", 121);
  Session working = hub().session("claude:working", Agent::claude, "");
  working.mood = Mood::working;
  working.updated = loop.now() - 500 * 60;
  hub().store(working);
  addIdle("claude:asking", 500);
  hub().engage("claude:asking");  // no request: nothing
  Session asking = get("claude:asking");
  asking.pending = Pending{"claude:asking:x", Pending::Elsewhere{"Needs your input"}, {}, 0, false};
  hub().store(asking);

  EXPECT_EQ(ids(hub().visible()),
            (std::vector<std::string>{"claude:fresh", "claude:working", "claude:asking"}));
  hideAfter = 0;
  EXPECT_EQ(hub().visible().size(), 4u);
}

TEST_F(HubStoreTest, TuckedSessionsStayHiddenAcrossARestartForOneDay) {
  addIdle("claude:a", 1);
  addIdle("claude:b", 1);
  hub().dismiss("claude:a");
  hub().dismiss("claude:unknown");  // recorded even without a session
  ASSERT_TRUE(store.get("tucked"));
  EXPECT_TRUE(store.get("tucked")->contains("claude:a"));
  EXPECT_TRUE(store.get("tucked")->contains("claude:unknown"));

  restart();
  EXPECT_EQ(hub().tucked().size(), 2u);
  EXPECT_TRUE(hub().tucked().count("claude:a"));

  // A new event for the session shows it again, and the store forgets it.
  send(event("SessionStart", "a"));
  EXPECT_FALSE(store.get("tucked")->contains("claude:a"));
  EXPECT_EQ(ids(hub().visible()), (std::vector<std::string>{"claude:a"}));

  store.set("tucked", Json{{"claude:day-old", loop.now() - 86400},
                           {"claude:recent", loop.now() - 86399},
                           {"claude:twenty-five-hours", loop.now() - 25 * 3600},
                           {"claude:bad", "yesterday"}});
  restart();
  EXPECT_EQ(hub().tucked().size(), 1u);
  EXPECT_TRUE(hub().tucked().count("claude:recent"));
  EXPECT_EQ(*store.get("tucked"), (Json{{"claude:recent", loop.now() - 86399}}));

  store.set("tucked", Json::array({"claude:x"}));
  restart();
  EXPECT_TRUE(hub().tucked().empty());
}

TEST_F(HubStoreTest, ClearFinishedHidesTheFinishedAndUndoBringsThemBack) {
  send(event("UserPromptSubmit", "working", {{"prompt", "go"}}));
  stop("done1");
  stop("done2");
  replyWindow = 0;  // the offers above are pending: they are not finished
  stop("done3");
  addIdle("claude:idle", 5);
  permission("asking");

  hub().clearFinished();
  EXPECT_TRUE(hub().snapshot()["canUndo"].get<bool>());
  EXPECT_EQ(ids(hub().visible()), (std::vector<std::string>{"claude:working", "claude:done1",
                                                            "claude:done2", "claude:asking"}));
  ASSERT_EQ(hub().cleared().size(), 2u);

  // Nothing left to clear: the earlier batch can still be undone.
  hub().clearFinished();
  ASSERT_EQ(hub().cleared().size(), 2u);
  hub().undoClear();
  EXPECT_EQ(hub().visible().size(), 6u);
  EXPECT_TRUE(hub().cleared().empty());
  EXPECT_TRUE(store.get("tucked")->empty());
  EXPECT_FALSE(hub().snapshot()["canUndo"].get<bool>());
}

TEST_F(HubStoreTest, QueueOrdersByRequestTimeStably) {
  permission("b", "t1");
  permission("c", "t2");
  loop.advance(0.5);
  permission("a", "t3");
  EXPECT_EQ(ids(hub().queue()), (std::vector<std::string>{"claude:b", "claude:c", "claude:a"}));

  // A newer request of an earlier session moves it to the end.
  loop.advance(0.5);
  permission("b", "t4");
  EXPECT_EQ(ids(hub().queue()), (std::vector<std::string>{"claude:c", "claude:a", "claude:b"}));
}

TEST_F(HubStoreTest, FocusPrefersTheHighestMoodThenTheLatestUpdate) {
  EXPECT_EQ(hub().focus(), nullptr);
  permission("w");
  loop.advance(1);
  send(event("PreToolUse", "d", {{"tool_name", "Read"}}));
  EXPECT_EQ(hub().focus()->id, "claude:w") << "waiting outranks a later working session";

  hub().decide("claude:w", "allow");
  EXPECT_EQ(hub().focus()->id, "claude:d");
  send(event("PreToolUse", "w", {{"tool_name", "Read"}}));
  EXPECT_EQ(hub().focus()->id, "claude:w") << "equal times: the earlier session wins";
  loop.advance(1);
  send(event("PreToolUse", "d", {{"tool_name", "Read"}}));
  EXPECT_EQ(hub().focus()->id, "claude:d");

  // Handed back to the terminal, the request still waits there.
  permission("w", "t2");
  hub().release("claude:w");
  EXPECT_FALSE(get("claude:w").pending);
  EXPECT_EQ(hub().focus()->id, "claude:w");
}

TEST_F(HubStoreTest, ReplyOffersExpireUnlessEngaged) {
  Relay plain = stop("plain");
  Relay engaged = stop("engaged");
  hub().engage("claude:engaged");
  loop.advance(14.5);
  EXPECT_EQ(plain.calls(), 0u);
  loop.advance(1);
  ASSERT_EQ(plain.calls(), 1u);
  EXPECT_EQ(plain.last(), "");
  EXPECT_FALSE(get("claude:plain").pending);
  EXPECT_EQ(get("claude:plain").mood, Mood::done);
  EXPECT_EQ(engaged.calls(), 0u);
  EXPECT_TRUE(get("claude:engaged").pending);
  EXPECT_EQ(hub().responderCount(), 1u);
  loop.advance(60);
  EXPECT_EQ(plain.calls(), 1u);
  EXPECT_TRUE(get("claude:engaged").pending);
}

TEST_F(HubStoreTest, FlashLastsThreeSecondsAfterAStop) {
  replyWindow = 0;
  stop("a");
  ASSERT_TRUE(hub().flash());
  EXPECT_EQ(hub().flash()->id, "claude:a");
  loop.advance(3);
  EXPECT_TRUE(hub().flash());
  loop.advance(1);
  EXPECT_FALSE(hub().flash());
}

TEST_F(HubStoreTest, SlowPassDropsOnlyClaudeSessionsWhoseAgentIsGone) {
  send(event("SessionStart", "dead", {{"_host", {{"agentPid", 4001}}}}));
  send(event("SessionStart", "alive", {{"_host", {{"agentPid", 4002}}}}));
  send(event("SessionStart", "asking", {{"_host", {{"agentPid", 4003}}}}));
  permission("asking");
  send(event("SessionStart", "cursor", {{"_agent", "cursor"}, {"_host", {{"agentPid", 4004}}}}));
  // Probing pid 0 would ask about this process group, not the agent.
  send(event("SessionStart", "zero", {{"_host", {{"agentPid", 0}}}}));
  addIdle("claude:nopid-old", 8 * 60 + 1);
  addIdle("claude:nopid-recent", 8 * 60 - 1);
  addIdle("codex:ancient", 100 * 60, Agent::codex);
  deadPids = {0, 4001, 4003, 4004};

  loop.advance(20);
  EXPECT_EQ(hub().sessions().size(), 8u) << "the slow pass waits for more than 20 seconds";
  changes = 0;
  loop.advance(1);
  EXPECT_EQ(changes, 1);
  std::vector<std::string> left;
  for (const Session& s : hub().sessions()) left.push_back(s.id);
  EXPECT_EQ(left,
            (std::vector<std::string>{"claude:alive", "claude:asking", "cursor:cursor",
                                      "claude:zero", "claude:nopid-recent", "codex:ancient"}));

  // The next slow pass is 20 seconds later; a session without changes still notifies.
  deadPids.insert(4002);
  loop.advance(19);
  EXPECT_TRUE(hub().find("claude:alive"));
  loop.advance(2);
  EXPECT_FALSE(hub().find("claude:alive"));
}

TEST_F(HubStoreTest, PullRequestNewsForMergesAndNewFailures) {
  send(event("SessionStart", "a", {{"cwd", "/tmp/project-a"}}));
  PullRequest open;
  open.number = 7;
  open.state = "open";
  PullRequest running = open;
  running.running = 2;
  running.failed = 1;
  PullRequest passing = open;
  passing.passed = 3;
  PullRequest failing = passing;
  failing.failed = 1;
  PullRequest merged = passing;
  merged.state = "merged";

  hub().prChanged("/tmp/project-a", std::nullopt, running);
  EXPECT_FALSE(hub().prNews()) << "first seen failing while checks still run";
  hub().prChanged("/tmp/project-a", running, passing);
  EXPECT_FALSE(hub().prNews());
  hub().prChanged("/tmp/project-a", passing, failing);
  ASSERT_TRUE(hub().prNews());
  EXPECT_EQ(hub().prNews()->kind, "failing");
  EXPECT_EQ(hub().prNews()->id, "claude:a");
  loop.runPending();
  EXPECT_EQ(attentions, 1);
  loop.advance(21);
  EXPECT_FALSE(hub().prNews());

  failing.running = 0;
  hub().prChanged("/tmp/project-a", std::nullopt, failing);
  EXPECT_EQ(hub().prNews()->kind, "failing") << "first seen failing with nothing running";

  hub().prChanged("/tmp/project-a", std::nullopt, merged);
  EXPECT_EQ(hub().prNews()->kind, "failing") << "merged needs an earlier state";
  hub().prChanged("/tmp/project-a", passing, merged);
  EXPECT_EQ(hub().prNews()->kind, "merged");
  EXPECT_EQ(hub().prNews()->until, loop.now() + 8);

  // Another folder, or a pull request that went away: only a redraw.
  changes = 0;
  hub().prChanged("/tmp/elsewhere", passing, failing);
  hub().prChanged("/tmp/project-a", failing, std::nullopt);
  EXPECT_EQ(hub().prNews()->kind, "merged");
  loop.runPending();
  EXPECT_EQ(changes, 1);
}

}  // namespace
}  // namespace talvane::testing

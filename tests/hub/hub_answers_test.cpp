#include <gtest/gtest.h>

#include "hub_test_support.h"

namespace talvane::testing {
namespace {

class HubAnswersTest : public HubTest {
 protected:
  Relay ask(const std::string& conversation, const Json& questions,
            const Json& extraInput = Json::object()) {
    Json input = extraInput;
    input["questions"] = questions;
    return send(event("PermissionRequest", conversation,
                      {{"tool_name", "AskUserQuestion"}, {"tool_input", input}}));
  }
  static Json question(const std::string& text) {
    return {{"question", text}, {"options", Json::array({{{"label", "A"}}})}};
  }
  // The answer line as written: one line, and the object it holds.
  static Json line(const Relay& relay) {
    EXPECT_EQ(relay.last().find('\n'), std::string::npos) << relay.last();
    const Json value = relay.lastJson();
    EXPECT_EQ(relay.last(), value.dump()) << "compact";
    return value;
  }
};

// --- every way a request ends ---------------------------------------------------------------

TEST_F(HubAnswersTest, EveryEndingAnswersTheRelayAtMostOnce) {
  struct Case {
    const char* name;
    std::function<void(HubAnswersTest&)> end;
    bool answered;  // a decision rather than the empty line
    bool called;
  };
  const std::vector<Case> cases = {
      {"decide", [](HubAnswersTest& t) { t.hub().decide("claude:s1", "allow"); }, true, true},
      {"release", [](HubAnswersTest& t) { t.hub().release("claude:s1"); }, false, true},
      {"answerThere", [](HubAnswersTest& t) { t.hub().answerThere("claude:s1"); }, false, true},
      {"dismiss", [](HubAnswersTest& t) { t.hub().dismiss("claude:s1"); }, false, true},
      {"newer request", [](HubAnswersTest& t) { t.permission("s1", "tu2"); }, false, true},
      {"same id again", [](HubAnswersTest& t) { t.permission("s1", "tu1"); }, false, true},
      {"prompt", [](HubAnswersTest& t) { t.send(t.event("UserPromptSubmit")); }, false, true},
      {"stop", [](HubAnswersTest& t) { t.stop(); }, false, true},
      {"session end", [](HubAnswersTest& t) { t.send(t.event("SessionEnd")); }, false, true},
      {"tool done",
       [](HubAnswersTest& t) {
         t.send(t.event("PostToolUse", "s1", {{"tool_use_id", "tu1"}}));
       },
       false, true},
      {"hook gone", [](HubAnswersTest& t) { t.hub().hookGone("claude:s1:tu1"); }, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    restart();
    Relay relay = permission("s1", "tu1");
    ASSERT_EQ(relay.pendingId, "claude:s1:tu1");
    c.end(*this);
    ASSERT_EQ(relay.calls(), c.called ? 1u : 0u);
    if (c.called) {
      EXPECT_EQ(relay.last().empty(), !c.answered);
    }
    // Whatever comes next, the first relay hears nothing more.
    hub().decide("claude:s1", "deny");
    hub().release("claude:s1");
    hub().hookGone("claude:s1:tu1");
    hub().dismiss("claude:s1");
    EXPECT_EQ(relay.calls(), c.called ? 1u : 0u);
    EXPECT_EQ(hub().responderCount(), 0u);
  }
}

TEST_F(HubAnswersTest, AnEndedRelayLeavesTheSessionAsItWas) {
  Relay relay = permission("s1", "tu1");
  hub().hookGone("claude:s1:tu1");
  EXPECT_EQ(relay.calls(), 0u);
  EXPECT_FALSE(get("claude:s1").pending);
  EXPECT_EQ(get("claude:s1").mood, Mood::waiting);
  // An id that is not held changes nothing.
  Relay other = permission("s2", "tu2");
  hub().hookGone("claude:s2:nope");
  EXPECT_TRUE(get("claude:s2").pending);
}

TEST_F(HubAnswersTest, AnAnswerWithoutARelayStillUpdatesTheSession) {
  hub().loadDemo("waiting");
  ASSERT_EQ(hub().responderCount(), 0u);
  const Session* asking = nullptr;
  for (const Session& s : hub().sessions())
    if (s.pending && s.pending->permission()) asking = &s;
  ASSERT_NE(asking, nullptr);
  const std::string id = asking->id;
  hub().decide(id, "deny");
  EXPECT_FALSE(get(id).pending);
  EXPECT_EQ(get(id).mood, Mood::working);
  EXPECT_EQ(get(id).activity, "Denied from the notch");
}

// --- permission decisions ------------------------------------------------------------------

TEST_F(HubAnswersTest, ADecisionNamingAReplacedRequestAnswersNothing) {
  struct Case {
    const char* request;
    bool answersNewer;
  };
  for (const Case& c : std::vector<Case>{{"claude:s1:tu1", false},  // the one the user saw
                                         {"claude:s1:tu2", true},
                                         {"", true}}) {  // an old page names none
    SCOPED_TRACE(c.request);
    restart();
    Relay first = permission("s1", "tu1");
    Relay second = permission("s1", "tu2");
    ASSERT_EQ(first.calls(), 1u);
    hub().decide("claude:s1", "allow", std::nullopt, c.request);
    EXPECT_EQ(second.calls(), c.answersNewer ? 1u : 0u);
    EXPECT_EQ(static_cast<bool>(get("claude:s1").pending), !c.answersNewer);
  }
}

TEST_F(HubAnswersTest, AllowWritesOnlyTheBehavior) {
  Relay relay = permission();
  hub().decide("claude:s1", "allow");
  ASSERT_EQ(relay.calls(), 1u);
  EXPECT_EQ(
      line(relay),
      (Json{{"hookSpecificOutput",
             {{"hookEventName", "PermissionRequest"}, {"decision", {{"behavior", "allow"}}}}}}));
  EXPECT_EQ(get("claude:s1").mood, Mood::working);
  EXPECT_FALSE(get("claude:s1").pending);
}

TEST_F(HubAnswersTest, DenyExplainsAndMarksTheSession) {
  Relay relay = permission();
  hub().decide("claude:s1", "deny", Json{{"command", "ls -la"}});
  EXPECT_EQ(line(relay), (Json{{"hookSpecificOutput",
                                {{"hookEventName", "PermissionRequest"},
                                 {"decision",
                                  {{"behavior", "deny"},
                                   {"updatedInput", {{"command", "ls -la"}}},
                                   {"message", "The user denied this from the notch."}}}}}}));
  EXPECT_EQ(get("claude:s1").mood, Mood::working);
  EXPECT_EQ(get("claude:s1").activity, "Denied from the notch");
}

TEST_F(HubAnswersTest, DecisionsNeedAMatchingRequest) {
  hub().decide("claude:none", "allow");
  Relay offer = stop();
  hub().decide("claude:s1", "allow");
  EXPECT_EQ(offer.calls(), 0u) << "a stop hook takes no permission decision";
  EXPECT_TRUE(get("claude:s1").pending);
  hub().answer("claude:s1", {"x"});
  EXPECT_EQ(offer.calls(), 0u);

  Relay asked = permission("s2");
  hub().sendReply("claude:s2", "hello");
  hub().answer("claude:s2", {"x"});
  EXPECT_EQ(asked.calls(), 0u);
  EXPECT_TRUE(get("claude:s2").pending);
}

TEST_F(HubAnswersTest, DecidingANoteBringsTheAgentForward) {
  send(event("Notification", "s1", {{"notification_type", "elicitation_dialog"}}));
  hub().decide("claude:s1", "allow");
  EXPECT_FALSE(get("claude:s1").pending);
  EXPECT_EQ(get("claude:s1").mood, Mood::waiting);
  EXPECT_EQ(jumps, (std::vector<std::string>{"claude:s1"}));
}

// --- questions -----------------------------------------------------------------------------

TEST_F(HubAnswersTest, AnswersGoUnderTheirQuestionsBesideTheOtherInput) {
  Relay relay = ask("s1", Json::array({question("Colour?"), question("Size?")}),
                    Json{{"metadata", {{"source", "x"}}}});
  hub().answer("claude:s1", {"Red", "Large", "Extra"});
  EXPECT_EQ(line(relay)["hookSpecificOutput"]["decision"],
            (Json{{"behavior", "allow"},
                  {"updatedInput",
                   {{"metadata", {{"source", "x"}}},
                    {"questions", Json::array({question("Colour?"), question("Size?")})},
                    {"answers", {{"Colour?", "Red"}, {"Size?", "Large"}}}}}}));

  Relay partly = ask("s2", Json::array({question("Colour?"), question("Size?")}));
  hub().answer("claude:s2", {"Blue"});
  EXPECT_EQ(line(partly)["hookSpecificOutput"]["decision"]["updatedInput"]["answers"],
            (Json{{"Colour?", "Blue"}}));

  // The same text twice: the later answer wins.
  Relay twice = ask("s3", Json::array({question("Again?"), question("Again?")}));
  hub().answer("claude:s3", {"yes", "no"});
  EXPECT_EQ(line(twice)["hookSpecificOutput"]["decision"]["updatedInput"]["answers"],
            (Json{{"Again?", "no"}}));
  EXPECT_EQ(get("claude:s3").mood, Mood::working);
}

// --- replies -------------------------------------------------------------------------------

TEST_F(HubAnswersTest, RepliesTakeEachAgentsForm) {
  const std::string text = "Yes, please.\nAnd add tests.";
  const std::string reason = "The user replied from the Talvane notch:\n\n" + text;
  struct Case {
    const char* agent;
    Json expected;
  };
  const std::vector<Case> cases = {
      {"cursor", {{"followup_message", text}}},
      {"gemini", {{"decision", "deny"}, {"reason", reason}}},
      {"droid", {{"decision", "block"}, {"reason", reason}}},
      {"claude",
       {{"hookSpecificOutput",
         {{"hookEventName", "Stop"},
          {"additionalContext",
           "The user replied from the Talvane notch. Treat this as their next message:\n\n" +
               text}}},
        {"systemMessage", "Replied from the notch: " + text}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.agent);
    Relay relay = send(event("Stop", "s1", {{"_agent", c.agent}}));
    const std::string id = std::string(c.agent) + ":s1";
    hub().sendReply(id, text);
    ASSERT_EQ(relay.calls(), 1u);
    EXPECT_EQ(line(relay), c.expected);
  }
}

TEST_F(HubAnswersTest, AReplyStartsTheNextTurn) {
  send(event("PreToolUse", "s1", {{"tool_name", "Read"}}));
  Relay relay = stop();
  loop.advance(3);
  hub().sendReply("claude:s1", "**Now** the docs\nplease");
  const Session& s = get("claude:s1");
  EXPECT_FALSE(s.pending);
  EXPECT_EQ(s.mood, Mood::working);
  EXPECT_EQ(s.title, "Now the docs");
  EXPECT_EQ(s.activity, "Thinking");
  EXPECT_TRUE(s.tools.empty());
  EXPECT_TRUE(s.tally.empty());
  EXPECT_EQ(s.turnCalls, 0);
  EXPECT_EQ(s.turnStarted, loop.now());
  EXPECT_FALSE(s.finishedAt);
  hub().sendReply("claude:s1", "again");
  EXPECT_EQ(relay.calls(), 1u);
}

// --- automatic answers ---------------------------------------------------------------------

TEST_F(HubAnswersTest, ADebugAnswerAnswersNewRequestsAfterADelay) {
  std::optional<std::string> word = "allow";
  settings.debugAnswer = [&word] { return word; };

  Relay allowed = permission("s1");
  loop.advance(1.1);
  EXPECT_EQ(allowed.calls(), 0u);
  loop.advance(0.2);
  ASSERT_EQ(allowed.calls(), 1u);
  EXPECT_EQ(line(allowed)["hookSpecificOutput"]["decision"]["behavior"], "allow");

  word = "deny";
  Relay denied = permission("s2");
  loop.advance(1.3);
  EXPECT_EQ(line(denied)["hookSpecificOutput"]["decision"]["behavior"], "deny");

  word = "Sure";
  Relay asked = ask("s3", Json::array({question("One?"), question("Two?")}));
  Relay offer = stop("s4");
  loop.advance(1.3);
  EXPECT_EQ(line(asked)["hookSpecificOutput"]["decision"]["updatedInput"]["answers"],
            (Json{{"One?", "Sure"}, {"Two?", "Sure"}}));
  EXPECT_EQ(line(offer)["systemMessage"], "Replied from the notch: Sure");

  // Already answered by the user: the automatic answer finds nothing to do.
  word = "allow";
  Relay quick = permission("s5");
  hub().release("claude:s5");
  loop.advance(2);
  EXPECT_EQ(quick.calls(), 1u);
  EXPECT_EQ(quick.last(), "");

  word.reset();
  Relay manual = permission("s6");
  loop.advance(5);
  EXPECT_EQ(manual.calls(), 0u);
}

}  // namespace
}  // namespace talvane::testing

#include <gtest/gtest.h>

#include "hub_test_support.h"
#include "relay_hub.h"
#include "support/test_home.h"

namespace talvane::testing {
namespace {

class CursorTest : public HubTest {
 protected:
  static Json cursorEvent(const std::string& name, const std::string& conversation = "c1",
                          Json extra = Json::object()) {
    Json message = {
        {"hook_event_name", name}, {"conversation_id", conversation}, {"_agent", "cursor"}};
    for (auto& [key, value] : extra.items()) message[key] = value;
    return message;
  }
  Relay cursor(const Json& message) {
    Relay relay;
    relay.pendingId = hub().cursor(message, relay.reply());
    return relay;
  }
  void expectReleased(const Relay& relay, std::size_t calls = 1) {
    EXPECT_FALSE(relay.pendingId);
    ASSERT_EQ(relay.calls(), calls);
    for (const std::string& answer : *relay.answers) EXPECT_EQ(answer, "");
  }
};

TEST_F(CursorTest, ConversationIdIsPreferredAndMessagesWithoutIdOrEventAreReleased) {
  cursor(cursorEvent("sessionStart", "conv", {{"session_id", "sess"}}));
  cursor({{"hook_event_name", "sessionStart"}, {"session_id", "only-session"}});
  EXPECT_NE(hub().find("cursor:conv"), nullptr);
  EXPECT_EQ(hub().find("cursor:sess"), nullptr);
  EXPECT_EQ(get("cursor:only-session").agent, Agent::cursor);
  EXPECT_EQ(hub().sessions().size(), 2u);

  for (const Json& message :
       {Json{{"hook_event_name", "sessionStart"}},
        Json{{"hook_event_name", "sessionStart"}, {"conversation_id", 4}},
        Json{{"conversation_id", "c9"}, {"hook_event_name", 7}}, Json{{"conversation_id", "c9"}}}) {
    expectReleased(cursor(message));
  }
  EXPECT_EQ(hub().sessions().size(), 2u);
}

TEST_F(CursorTest, WorkingDirectoryComesFromTheFirstWorkspaceRootElseCwd) {
  TempDir a, b;
  cursor(cursorEvent("sessionStart", "roots",
                     {{"workspace_roots", {a.path(), b.path()}}, {"cwd", b.path()}}));
  cursor(cursorEvent("sessionStart", "empty",
                     {{"workspace_roots", Json::array()}, {"cwd", b.path()}}));
  cursor(cursorEvent("sessionStart", "none"));
  EXPECT_EQ(get("cursor:roots").root, a.path());
  EXPECT_EQ(get("cursor:empty").root, b.path());
  EXPECT_EQ(get("cursor:none").root, "");
}

TEST_F(CursorTest, HostFactsArePassedOn) {
  cursor(cursorEvent("sessionStart", "c1", {{"_host", {{"pid", 42}, {"tty", "/dev/pts/3"}}}}));
  EXPECT_EQ(get("cursor:c1").hostPid, 42);
  EXPECT_EQ(get("cursor:c1").tty, "/dev/pts/3");
}

TEST_F(CursorTest, ToolsAreShownFinishedAndCountedOnceWhileTheRelayIsAnsweredTwice) {
  cursor(cursorEvent("beforeSubmitPrompt", "c1", {{"prompt", "Make the **build** pass"}}));
  EXPECT_EQ(get("cursor:c1").title, "Make the build pass");
  EXPECT_EQ(get("cursor:c1").mood, Mood::working);

  const Relay shell = cursor(cursorEvent("afterShellExecution", "c1", {{"command", "make all"}}));
  expectReleased(shell, 2);
  cursor(cursorEvent("afterFileEdit", "c1", {{"file_path", "/src/app/main.cpp"}}));
  cursor(cursorEvent("afterMCPExecution", "c1",
                     {{"mcp_server_name", "github"}, {"tool_name", "create_issue"}}));
  cursor(cursorEvent("afterMCPExecution", "c1"));

  const Session& s = get("cursor:c1");
  ASSERT_EQ(s.tools.size(), 4u);
  EXPECT_EQ(s.tools[0], (ToolLine{"Running make all", false, false}));
  EXPECT_EQ(s.tools[1], (ToolLine{"Editing main.cpp", false, false}));
  EXPECT_EQ(s.tools[2], (ToolLine{"github · create_issue", false, false}));
  EXPECT_EQ(s.tools[3], (ToolLine{"mcp · tool", false, false}));
  EXPECT_EQ(s.activity, "mcp · tool");
  EXPECT_EQ(s.turnCalls, 4);
  ASSERT_EQ(s.tally.size(), 4u);
  EXPECT_EQ(s.tally[0].tool, "Bash");
  EXPECT_EQ(s.tally[0].count, 1);
  EXPECT_EQ(s.tally[2].tool, "mcp__github__create_issue");
  EXPECT_EQ(s.tally[3].tool, "mcp__mcp__tool");
  EXPECT_EQ(s.mood, Mood::working);
}

TEST_F(CursorTest, OtherEventsMapOntoTheClaudeEvents) {
  cursor(cursorEvent("beforeSubmitPrompt", "c1", {{"prompt", "go"}}));
  cursor(cursorEvent("sessionStart", "c1"));
  EXPECT_EQ(get("cursor:c1").mood, Mood::working) << "a working session stays working";
  cursor(cursorEvent("preCompact", "c1"));
  EXPECT_EQ(get("cursor:c1").activity, "Compacting");

  const Relay unknown = cursor(cursorEvent("beforeReadFile", "c1"));
  expectReleased(unknown);
  const Relay wrongCase = cursor(cursorEvent("SessionEnd", "c1"));
  expectReleased(wrongCase);
  EXPECT_NE(hub().find("cursor:c1"), nullptr);
}

TEST_F(CursorTest, CompletedStopOffersAReplyWithTheLastResponse) {
  cursor(cursorEvent("beforeSubmitPrompt", "c1", {{"prompt", "go"}}));
  expectReleased(cursor(cursorEvent("afterAgentResponse", "c1", {{"text", "Fixed the tests."}})));
  EXPECT_EQ(hub().cursorLast.at("cursor:c1"), "Fixed the tests.");

  const Relay stop = cursor(cursorEvent("stop", "c1", {{"status", "completed"}}));
  ASSERT_TRUE(stop.pendingId);
  EXPECT_EQ(stop.calls(), 0u) << "the relay waits";
  const Session& s = get("cursor:c1");
  EXPECT_EQ(s.mood, Mood::done);
  EXPECT_EQ(s.activity, "Fixed the tests.");
  ASSERT_TRUE(s.pending && s.pending->isReply());
  EXPECT_EQ(s.pending->reply()->lastMessage, "Fixed the tests.");
  EXPECT_TRUE(hub().hasResponder(*stop.pendingId));

  hub().sendReply("cursor:c1", "Now the docs");
  ASSERT_EQ(stop.calls(), 1u);
  EXPECT_EQ(stop.lastJson(), (Json{{"followup_message", "Now the docs"}}));

  // Not cleared by the stop: a stop without a new response repeats it.
  const Relay again = cursor(cursorEvent("stop", "c1"));
  ASSERT_TRUE(again.pendingId);
  EXPECT_EQ(get("cursor:c1").pending->reply()->lastMessage, "Fixed the tests.");
}

TEST_F(CursorTest, AStopThatFollowsAnEarlierAnswerOffersNoReply) {
  const Relay stop = cursor(cursorEvent("stop", "c1", {{"loop_count", 1}}));
  expectReleased(stop);
  EXPECT_EQ(get("cursor:c1").mood, Mood::done);
  EXPECT_FALSE(get("cursor:c1").pending);
  EXPECT_EQ(get("cursor:c1").activity, "Finished");

  EXPECT_TRUE(cursor(cursorEvent("stop", "c2", {{"loop_count", 0}})).pendingId);
}

TEST_F(CursorTest, AnUnfinishedStopOnlySetsTheSessionIdle) {
  cursor(cursorEvent("afterShellExecution", "c1", {{"command", "make"}}));
  const Relay offer = cursor(cursorEvent("stop", "c1"));
  ASSERT_TRUE(offer.pendingId);
  const Date finished = *get("cursor:c1").finishedAt;
  loop.advance(5);
  const int before = changes;
  loop.runPending();

  const Relay aborted = cursor(cursorEvent("stop", "c1", {{"status", "aborted"}}));
  expectReleased(aborted);
  Session s = get("cursor:c1");
  EXPECT_EQ(s.mood, Mood::idle);
  EXPECT_EQ(s.activity, "Stopped");
  EXPECT_TRUE(s.pending) << "nothing else of the session changes";
  EXPECT_EQ(s.finishedAt, finished);
  EXPECT_EQ(offer.calls(), 0u);
  loop.runPending();
  EXPECT_GT(changes, before);

  cursor(cursorEvent("stop", "c1", {{"status", "error"}}));
  EXPECT_EQ(get("cursor:c1").activity, "Stopped with an error");

  expectReleased(cursor(cursorEvent("stop", "unknown", {{"status", "error"}})));
  EXPECT_EQ(hub().find("cursor:unknown"), nullptr);
}

TEST_F(CursorTest, SessionEndForgetsTheResponseAndReleasesAWaitingRelay) {
  cursor(cursorEvent("afterAgentResponse", "c1", {{"text", "Done"}}));
  const Relay offer = cursor(cursorEvent("stop", "c1"));
  ASSERT_TRUE(offer.pendingId);

  expectReleased(cursor(cursorEvent("sessionEnd", "c1")));
  EXPECT_EQ(hub().cursorLast.count("cursor:c1"), 0u);
  EXPECT_EQ(hub().find("cursor:c1"), nullptr);
  ASSERT_EQ(offer.calls(), 1u);
  EXPECT_EQ(offer.last(), "");

  cursor(cursorEvent("stop", "c1"));
  EXPECT_EQ(get("cursor:c1").activity, "Finished");
}

TEST_F(CursorTest, TheModelIsRecordedAfterEveryEventOfAKnownSession) {
  cursor(cursorEvent("sessionStart", "c1", {{"model", "gpt-5"}}));
  EXPECT_EQ(get("cursor:c1").stats.model, "gpt-5");
  cursor(cursorEvent("afterAgentResponse", "c1", {{"model", "claude-4.5-sonnet"}}));
  EXPECT_EQ(get("cursor:c1").stats.model, "claude-4.5-sonnet");
  cursor(cursorEvent("beforeTabFileRead", "c1", {{"model", "composer-1"}}));
  EXPECT_EQ(get("cursor:c1").stats.model, "composer-1");
  cursor(cursorEvent("preCompact", "c1", {{"model", ""}}));
  EXPECT_EQ(get("cursor:c1").stats.model, "composer-1");

  // Only released: no session is created for the model alone.
  cursor(cursorEvent("afterAgentResponse", "c2", {{"model", "gpt-5"}}));
  EXPECT_EQ(hub().find("cursor:c2"), nullptr);
}

// --- through the real relay and Bridge ---------------------------------------------------

class CursorRelayTest : public RelayHubTest {};

TEST_F(CursorRelayTest, StopWaitsAndGetsTheFollowUpMessage) {
  RelayProcess response({"cursor"}, R"({"hook_event_name":"afterAgentResponse",)"
                                    R"("conversation_id":"c1","text":"All green."})");
  ASSERT_TRUE(runUntil([&] { return response.finished() && hub->cursorLast.count("cursor:c1"); }));
  EXPECT_EQ(response.output(), "{}\n");

  RelayProcess stop({"cursor"}, R"({"hook_event_name":"stop","conversation_id":"c1",)"
                                R"("status":"completed"})");
  expectHeld(stop);
  const Session* s = hub->find("cursor:c1");
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(s->pending && s->pending->isReply());
  EXPECT_EQ(s->pending->reply()->lastMessage, "All green.");

  hub->sendReply("cursor:c1", "Ship it\nplease");
  ASSERT_TRUE(runUntil([&] { return stop.finished(); }));
  EXPECT_EQ(stop.output(), R"({"followup_message":"Ship it\nplease"})"
                           "\n");
}

TEST_F(CursorRelayTest, ToolEventsAnsweredTwiceLeaveTheRelayWithItsDefault) {
  RelayProcess shell({"cursor"}, R"({"hook_event_name":"afterShellExecution",)"
                                 R"("conversation_id":"c1","command":"ls"})");
  ASSERT_TRUE(runUntil([&] { return shell.finished(); }));
  EXPECT_EQ(shell.output(), "{}\n");
  ASSERT_TRUE(runUntil([&] { return hub->find("cursor:c1") != nullptr; }));
  EXPECT_EQ(hub->find("cursor:c1")->activity, "Running ls");
  ASSERT_TRUE(runUntil([&] { return bridge->openConnections() == 0; }));
}

}  // namespace
}  // namespace talvane::testing

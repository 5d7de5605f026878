#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "hub_test_support.h"
#include "support/test_home.h"

namespace talvane::testing {
namespace {

using ::testing::MatchesRegex;

class HubClaudeTest : public HubTest {};

TEST_F(HubClaudeTest, MessagesWithoutSessionOrEventAreReleasedAndIgnored) {
  for (Json message : {Json{{"hook_event_name", "Stop"}}, Json{{"session_id", "s1"}},
                       Json{{"session_id", 12}, {"hook_event_name", "Stop"}}, Json::array()}) {
    Relay relay = send(message);
    EXPECT_FALSE(relay.pendingId);
    ASSERT_EQ(relay.calls(), 1u);
    EXPECT_EQ(relay.last(), "");
  }
  EXPECT_TRUE(hub().sessions().empty());
}

TEST_F(HubClaudeTest, SessionIdsCarryTheAgentAndUnknownNamesFallBackToClaude) {
  send(event("SessionStart", "g", {{"_agent", "gemini"}}));
  send(event("SessionStart", "x", {{"_agent", "Gemini"}}));
  send(event("SessionStart", "y", {{"_agent", 3}}));
  EXPECT_EQ(get("gemini:g").agent, Agent::gemini);
  EXPECT_EQ(get("claude:x").agent, Agent::claude);
  EXPECT_EQ(get("claude:y").agent, Agent::claude);
}

TEST_F(HubClaudeTest, HostFactsAreTakenOnlyWhenWellTyped) {
  send(event(
      "SessionStart", "s1",
      {{"_host",
        {{"pid", 321}, {"bundle", "/usr/bin/kitty"}, {"tty", "/dev/pts/4"}, {"agentPid", 654}}}}));
  send(event("Notification", "s1",
             {{"_host", {{"pid", 2147483648LL}, {"bundle", 5}, {"agentPid", "x"}}}}));
  const Session& s = get("claude:s1");
  EXPECT_EQ(s.hostPid, 321);
  EXPECT_EQ(s.hostBundle, "/usr/bin/kitty");
  EXPECT_EQ(s.tty, "/dev/pts/4");
  EXPECT_EQ(s.agentPid, 654);
  send(event("SessionStart", "s1", {{"_host", {{"pid", -2147483648LL}}}}));
  EXPECT_EQ(get("claude:s1").hostPid, -2147483648LL);
}

TEST_F(HubClaudeTest, ATurnRunsFromPromptThroughToolsToStop) {
  replyWindow = 0;
  send(event("SessionStart", "s1", {{"cwd", "/tmp/turn-project"}}));
  EXPECT_EQ(get("claude:s1").mood, Mood::idle);
  EXPECT_EQ(get("claude:s1").root, "/tmp/turn-project");

  loop.advance(2);
  send(event("UserPromptSubmit", "s1", {{"prompt", "# Plan\n<ctx>\nFix the **login** bug"}}));
  const Date start = loop.now();
  EXPECT_EQ(get("claude:s1").title, "Fix the login bug");
  EXPECT_EQ(get("claude:s1").activity, "Thinking");
  EXPECT_EQ(get("claude:s1").turnStarted, start);

  send(event("PreToolUse", "s1",
             {{"tool_name", "Read"}, {"tool_input", {{"file_path", "/src/login.cpp"}}}}));
  send(event("PostToolUse", "s1", {{"tool_name", "Read"}}));
  send(event("PreToolUse", "s1", {{"tool_name", "Bash"}, {"tool_input", {{"command", "make"}}}}));
  send(event("PostToolUseFailure", "s1", {{"tool_name", "Bash"}}));
  // Neither a subagent's tool nor the question tool touches the lines or the tally.
  send(event("PreToolUse", "s1", {{"tool_name", "Edit"}, {"agent_id", "sub-1"}}));
  send(event("PreToolUse", "s1", {{"tool_name", "AskUserQuestion"}}));
  send(event("PostToolUse", "s1", {{"agent_id", "sub-1"}}));

  Session s = get("claude:s1");
  EXPECT_EQ(s.activity, "Running make");
  ASSERT_EQ(s.tools.size(), 2u);
  EXPECT_EQ(s.tools[0], (ToolLine{"Reading login.cpp", false, false}));
  EXPECT_EQ(s.tools[1], (ToolLine{"Running make", false, true}));
  EXPECT_EQ(s.turnCalls, 2);
  EXPECT_EQ(s.tally.size(), 2u);
  EXPECT_EQ(s.phase, "reviewing");
  EXPECT_EQ(s.mood, Mood::working);

  send(event("PreCompact", "s1"));
  EXPECT_EQ(get("claude:s1").activity, "Compacting");
  loop.advance(5);
  Relay relay = stop("s1", "  \n\t ");
  EXPECT_FALSE(relay.pendingId);
  EXPECT_EQ(relay.calls(), 1u);
  s = get("claude:s1");
  EXPECT_EQ(s.mood, Mood::done);
  EXPECT_EQ(s.activity, "Finished");
  EXPECT_EQ(s.finishedAt, loop.now());

  // The next prompt starts afresh; an empty prompt clears the title.
  send(event("UserPromptSubmit", "s1"));
  s = get("claude:s1");
  EXPECT_EQ(s.title, "");
  EXPECT_TRUE(s.tools.empty());
  EXPECT_TRUE(s.tally.empty());
  EXPECT_EQ(s.turnCalls, 0);
  EXPECT_EQ(s.phase, "reasoning");
  EXPECT_FALSE(s.finishedAt);
}

TEST_F(HubClaudeTest, ASubagentToolStartsTheTurnWithoutTouchingItsLines) {
  send(event("PreToolUse", "s1", {{"tool_name", "Read"}, {"agent_id", "a"}}));
  const Session& s = get("claude:s1");
  EXPECT_EQ(s.mood, Mood::working);
  EXPECT_EQ(s.turnStarted, loop.now());
  EXPECT_TRUE(s.tools.empty());
  EXPECT_EQ(s.activity, "");
}

TEST_F(HubClaudeTest, PermissionRequestsAreNamedAfterTheirToolCall) {
  Relay named = permission("s1", "toolu_1");
  EXPECT_EQ(named.pendingId, "claude:s1:toolu_1");
  EXPECT_EQ(named.calls(), 0u);
  EXPECT_EQ(hub().selected(), "claude:s1");
  loop.runPending();
  EXPECT_EQ(attentions, 1);
  const Session& s = get("claude:s1");
  EXPECT_EQ(s.mood, Mood::waiting);
  ASSERT_TRUE(s.pending && s.pending->permission());
  EXPECT_EQ(s.pending->permission()->title, "Wants to run");
  EXPECT_EQ(s.pending->permission()->detail, "ls");
  EXPECT_EQ(s.pending->permission()->tool, "Bash");
  EXPECT_EQ(s.pending->toolInput, (Json{{"command", "ls"}}));
  EXPECT_EQ(s.pending->since, loop.now());

  // Answered in the terminal: the call completes and the request goes with it.
  send(event("PostToolUse", "s1", {{"tool_use_id", "other"}}));
  EXPECT_TRUE(get("claude:s1").pending);
  EXPECT_EQ(get("claude:s1").mood, Mood::waiting);
  send(event("PostToolUse", "s1", {{"tool_use_id", "toolu_1"}}));
  EXPECT_FALSE(get("claude:s1").pending);
  EXPECT_EQ(get("claude:s1").mood, Mood::working);
  EXPECT_EQ(named.calls(), 1u);
  EXPECT_EQ(named.last(), "");

  Relay unnamed = permission("s2", "");
  EXPECT_THAT(*unnamed.pendingId,
              MatchesRegex("claude:s2:[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                           "[0-9A-F]{12}"));
}

// Claude Code sends no "tool_use_id" with a permission request, and leaves the hook running
// when the user answers in the terminal.
TEST_F(HubClaudeTest, ARequestAnsweredInTheTerminalEndsWithItsToolCall) {
  send(event("SessionStart"));
  send(event("UserPromptSubmit", "s1", {{"prompt", "clean up"}}));
  const Json input = {{"command", "rm -rf build"}, {"description", "Remove the build"}};
  send(event("PreToolUse", "s1",
             {{"tool_name", "Bash"}, {"tool_input", input}, {"tool_use_id", "toolu_9"}}));
  Relay relay =
      send(event("PermissionRequest", "s1", {{"tool_name", "Bash"}, {"tool_input", input}}));
  EXPECT_EQ(relay.pendingId, "claude:s1:toolu_9");
  EXPECT_EQ(get("claude:s1").mood, Mood::waiting);

  send(event("PostToolUse", "s1",
             {{"tool_name", "Bash"}, {"tool_input", input}, {"tool_use_id", "toolu_9"}}));
  EXPECT_FALSE(get("claude:s1").pending);
  EXPECT_EQ(get("claude:s1").mood, Mood::working);
  ASSERT_EQ(relay.calls(), 1u);
  EXPECT_EQ(relay.last(), "");
  EXPECT_EQ(hub().responderCount(), 0u);
  EXPECT_TRUE(hub().queue().empty());
}

TEST_F(HubClaudeTest, OnlyTheSameCallLendsItsIdToARequest) {
  send(event("PreToolUse", "s1",
             {{"tool_name", "Bash"}, {"tool_input", {{"command", "ls"}}}, {"tool_use_id", "t1"}}));
  // Another input, another tool, or a subagent's call: no pairing.
  EXPECT_NE(permission("s1", "", "ls -la").pendingId, "claude:s1:t1");
  Relay other = send(event("PermissionRequest", "s1",
                           {{"tool_name", "Read"}, {"tool_input", {{"command", "ls"}}}}));
  EXPECT_NE(other.pendingId, "claude:s1:t1");
  send(event("PreToolUse", "s1",
             {{"tool_name", "Bash"},
              {"tool_input", {{"command", "pwd"}}},
              {"tool_use_id", "t2"},
              {"agent_id", "sub"}}));
  EXPECT_EQ(permission("s1", "", "ls").pendingId, "claude:s1:t1");
  EXPECT_NE(permission("s1", "", "pwd").pendingId, "claude:s1:t2");
  // Per session.
  EXPECT_NE(permission("s2", "", "ls").pendingId, "claude:s2:t1");
  // Once the call completed, a later identical request is a new one.
  send(event("PostToolUse", "s1", {{"tool_use_id", "t1"}}));
  EXPECT_NE(permission("s1", "", "ls").pendingId, "claude:s1:t1");
}

TEST_F(HubClaudeTest, TheQuestionToolAsksQuestions) {
  const Json input = {
      {"questions", Json::array({{{"header", "Db"},
                                  {"question", "Which database?"},
                                  {"options", Json::array({{{"label", "Postgres"}}})}}})}};
  Relay relay = send(
      event("PermissionRequest", "s1", {{"tool_name", "AskUserQuestion"}, {"tool_input", input}}));
  const Session& s = get("claude:s1");
  ASSERT_TRUE(s.pending && s.pending->questions());
  ASSERT_EQ(s.pending->questions()->questions.size(), 1u);
  EXPECT_EQ(s.pending->questions()->questions[0].text, "Which database?");
  EXPECT_EQ(s.pending->questions()->questions[0].options[0].detail, "");
  EXPECT_FALSE(s.pending->questions()->questions[0].multi);
}

TEST_F(HubClaudeTest, NotificationsThatNeedTheUserLeaveANote) {
  send(event("Notification", "s1", {{"notification_type", "idle_prompt"}, {"message", "hi"}}));
  EXPECT_FALSE(get("claude:s1").pending);
  loop.runPending();
  EXPECT_EQ(attentions, 0);

  Relay relay = send(event("Notification", "s1", {{"notification_type", "permission_prompt"}}));
  EXPECT_FALSE(relay.pendingId);
  EXPECT_EQ(relay.calls(), 1u);
  const Session& s = get("claude:s1");
  ASSERT_TRUE(s.pending && s.pending->elsewhere());
  EXPECT_EQ(s.pending->id, "claude:s1:note");
  EXPECT_EQ(s.pending->elsewhere()->text, "Needs your input");
  EXPECT_EQ(s.mood, Mood::waiting);
  loop.runPending();
  EXPECT_EQ(attentions, 1);

  // Nothing replaces a request that is already there.
  send(event("Notification", "s1",
             {{"notification_type", "agent_needs_input"}, {"message", "Pick one"}}));
  EXPECT_EQ(get("claude:s1").pending->elsewhere()->text, "Needs your input");

  // The next tool completion clears it.
  send(event("PostToolUse", "s1"));
  EXPECT_FALSE(get("claude:s1").pending);
  EXPECT_EQ(get("claude:s1").mood, Mood::working);
}

TEST_F(HubClaudeTest, AStopOffersAReplyWhenTheAgentCanTakeOne) {
  const std::string longMessage = "  " + std::string(200, 'x') + "\n";
  Relay offered = stop("s1", longMessage);
  ASSERT_TRUE(offered.pendingId);
  EXPECT_THAT(*offered.pendingId, MatchesRegex("claude:s1:reply:[0-9A-F]{8}"));
  EXPECT_EQ(offered.calls(), 0u);
  Session s = get("claude:s1");
  EXPECT_EQ(s.mood, Mood::done);
  EXPECT_EQ(s.shownMood(loop.now()), Mood::done);
  ASSERT_TRUE(s.pending && s.pending->reply());
  EXPECT_EQ(s.pending->reply()->lastMessage, std::string(200, 'x'));
  EXPECT_EQ(s.pending->reply()->expires, loop.now() + 15);
  EXPECT_EQ(s.activity, std::string(89, 'x') + "…");
  EXPECT_EQ(hub().selected(), "claude:s1");
  loop.runPending();
  EXPECT_EQ(attentions, 1);

  // A stop caused by an earlier stop hook, an agent without replies, or no reply window.
  Relay again = send(event("Stop", "s2", {{"stop_hook_active", true}}));
  Relay codex = send(event("Stop", "s3", {{"_agent", "codex"}}));
  Relay copilot = send(event("Stop", "s4", {{"_agent", "copilot"}}));
  replyWindow = 0;
  Relay noWindow = stop("s5");
  for (const Relay* r : {&again, &codex, &copilot, &noWindow}) {
    EXPECT_FALSE(r->pendingId);
    EXPECT_EQ(r->calls(), 1u);
  }
  EXPECT_EQ(get("codex:s3").mood, Mood::done);
  replyWindow = 15;
  EXPECT_TRUE(send(event("Stop", "s6", {{"stop_hook_active", "yes"}})).pendingId);
}

TEST_F(HubClaudeTest, SessionEndRemovesTheSessionAndReleasesItsRelay) {
  Relay relay = permission("s1");
  send(event("SessionStart", "s2"));
  Relay end = send(event("SessionEnd", "s1"));
  EXPECT_EQ(relay.calls(), 1u);
  EXPECT_EQ(relay.last(), "");
  EXPECT_EQ(end.calls(), 1u);
  EXPECT_EQ(hub().find("claude:s1"), nullptr);
  EXPECT_EQ(hub().sessions().size(), 1u);
  EXPECT_EQ(hub().responderCount(), 0u);
  // An end for a session never seen leaves nothing behind.
  send(event("SessionEnd", "s9"));
  EXPECT_EQ(hub().sessions().size(), 1u);
}

TEST_F(HubClaudeTest, EventsReadTheTranscriptTheyName) {
  TestHome home;
  const std::string path = home.write(
      ".claude/projects/p/s1.jsonl",
      R"({"type":"user","cwd":"/tmp/x","gitBranch":"feature","message":{"content":"Hello there"}})"
      "\n"
      R"({"type":"assistant","message":{"id":"m1","model":"claude-haiku-4-5","usage":{"input_tokens":1000}}})"
      "\n");
  send(event("SessionStart", "s1", {{"transcript_path", path}}));
  EXPECT_EQ(get("claude:s1").stats, TranscriptStats{}) << "the first read is off the loop";
  loop.runPending();
  const Session& s = get("claude:s1");
  EXPECT_EQ(s.transcript, path);
  EXPECT_EQ(s.stats.branch, "feature");
  EXPECT_EQ(s.stats.model, "claude-haiku-4-5");
  EXPECT_EQ(s.stats.contextTokens, 1000);
  EXPECT_EQ(s.headline(), "Hello there");
}

// The first read of a transcript runs off the loop; events meanwhile neither read it again nor
// lose what was appended while it ran.
TEST_F(HubClaudeTest, EventsDuringTheFirstTranscriptReadWaitForIt) {
  std::vector<std::function<void()>> held;
  settings.transcriptReads = [&](std::function<void()> job) { held.push_back(std::move(job)); };
  TestHome home;
  const auto line = [](const std::string& id, const std::string& model) {
    return R"({"type":"assistant","cwd":"/tmp/x","message":{"id":")" + id + R"(","model":")" +
           model + R"(","usage":{"input_tokens":1000}}})" + std::string("\n");
  };
  const std::string path =
      home.write(".claude/projects/p/s1.jsonl", line("m1", "claude-haiku-4-5"));
  send(event("SessionStart", "s1", {{"transcript_path", path}}));
  send(event("UserPromptSubmit", "s1", {{"transcript_path", path}, {"prompt", "go"}}));
  loop.runPending();
  EXPECT_EQ(held.size(), 1u) << "one read at a time";
  EXPECT_EQ(get("claude:s1").stats.model, std::nullopt);

  held[0]();
  std::ofstream(path, std::ios::app) << line("m2", "claude-opus-4-5");
  loop.runPending();
  EXPECT_EQ(get("claude:s1").stats.model, "claude-haiku-4-5");
  ASSERT_EQ(held.size(), 2u) << "the event that came meanwhile has the file read again";
  held[1]();
  loop.runPending();
  const Session& s = get("claude:s1");
  EXPECT_EQ(s.stats.model, "claude-opus-4-5");
  EXPECT_DOUBLE_EQ(s.stats.cost, (1000 * 1.0 + 1000 * 5.0) / 1e6);
  EXPECT_EQ(s.title, "go") << "the session's own fields are kept";
  EXPECT_EQ(held.size(), 2u);
}

// A transcript written as fast as a disk allows: events never read it on the loop. Its growth is
// read off the loop in passes of bounded size, each shown as it comes, until the end is reached.
TEST_F(HubClaudeTest, TranscriptGrowthIsReadOffTheLoopInBoundedPasses) {
  std::vector<std::function<void()>> held;
  settings.transcriptReads = [&](std::function<void()> job) { held.push_back(std::move(job)); };
  settings.transcriptPass = 300;
  TestHome home;
  const auto line = [](int n) {
    return R"({"type":"assistant","cwd":"/tmp/x","message":{"id":"m)" + std::to_string(n) +
           R"(","model":"claude-haiku-4-5","usage":{"input_tokens":)" + std::to_string(n) + "}}}\n";
  };
  std::string text;
  for (int n = 1; n <= 10; ++n) text += line(n);
  const std::string path = home.write(".claude/projects/p/s1.jsonl", line(0));
  send(event("SessionStart", "s1", {{"transcript_path", path}}));
  ASSERT_EQ(held.size(), 1u);
  held.back()();
  loop.runPending();
  EXPECT_EQ(get("claude:s1").stats.model, "claude-haiku-4-5");

  std::ofstream(path, std::ios::app) << text;
  send(event("PreToolUse", "s1", {{"transcript_path", path}}));
  EXPECT_EQ(get("claude:s1").stats.contextTokens, 0) << "nothing read on the loop";
  std::vector<std::int64_t> shown;
  for (std::size_t run = 1; run < held.size() && run < 20; ++run) {
    held[run]();
    loop.runPending();
    shown.push_back(get("claude:s1").stats.contextTokens);
  }
  ASSERT_GT(shown.size(), 2u) << "more than one pass";
  EXPECT_LT(shown.front(), 10) << "the first pass stops early";
  EXPECT_EQ(shown.back(), 10);
  EXPECT_DOUBLE_EQ(get("claude:s1").stats.cost, 55 * 1.0 / 1e6);
  EXPECT_EQ(held.size(), shown.size() + 1) << "passes stop at the end";
}

TEST_F(HubClaudeTest, UnknownEventsStillRefreshTheSession) {
  send(event("SessionStart"));
  loop.advance(30);
  Relay relay = send(event("SomethingNew", "s1", {{"_host", {{"tty", "/dev/pts/9"}}}}));
  EXPECT_EQ(relay.calls(), 1u);
  EXPECT_EQ(get("claude:s1").updated, loop.now());
  EXPECT_EQ(get("claude:s1").tty, "/dev/pts/9");
  EXPECT_EQ(get("claude:s1").mood, Mood::idle);
}

}  // namespace
}  // namespace talvane::testing

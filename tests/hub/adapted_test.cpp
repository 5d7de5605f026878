#include <gtest/gtest.h>

#include <algorithm>

#include "hub_test_support.h"
#include "platform/files.h"
#include "relay_hub.h"
#include "support/test_home.h"

namespace talvane::testing {
namespace {

class AdaptedTest : public HubTest {
 protected:
  Relay adapted(const Json& message) {
    Relay relay;
    relay.pendingId = hub().adapted(message, relay.reply());
    return relay;
  }
  static void expectReleased(const Relay& relay) {
    EXPECT_FALSE(relay.pendingId);
    ASSERT_EQ(relay.calls(), 1u);
    EXPECT_EQ(relay.last(), "");
  }
};

TEST_F(AdaptedTest, WindsurfCommandsAreReadFromToolInfo) {
  const Relay relay = adapted({{"_agent", "windsurf"},
                               {"agent_action_name", "pre_run_command"},
                               {"trajectory_id", "traj-1"},
                               {"tool_info", {{"command_line", "npm test"}, {"cwd", "/w/app"}}}});
  expectReleased(relay);
  const Session& s = get("windsurf:traj-1");
  EXPECT_EQ(s.agent, Agent::windsurf);
  EXPECT_EQ(s.activity, "Running npm test");
  EXPECT_EQ(s.root, "/w/app");
  ASSERT_EQ(s.tally.size(), 1u);
  EXPECT_EQ(s.tally[0].tool, "Bash");
  EXPECT_EQ(s.tally[0].detail, "npm test");
  EXPECT_EQ(s.mood, Mood::working);
  EXPECT_TRUE(s.tools.back().running);

  adapted({{"_agent", "windsurf"},
           {"agent_action_name", "post_run_command"},
           {"trajectory_id", "traj-1"}});
  EXPECT_FALSE(get("windsurf:traj-1").tools.back().running)
      << "a tool event without a tool name still finishes the running line";
}

TEST_F(AdaptedTest, CodeAndMcpActionsBecomeClaudeTools) {
  const Json base = {{"_agent", "windsurf"}, {"trajectory_id", "t"}};
  auto with = [&](Json extra) {
    Json message = base;
    message.update(extra);
    return message;
  };
  adapted(with({{"agent_action_name", "pre_write_code"},
                {"tool_info", {{"file_path", "/w/src/view.tsx"}}}}));
  EXPECT_EQ(get("windsurf:t").activity, "Editing view.tsx");
  adapted(with({{"agent_action_name", "pre_read_code"}, {"file_path", "/w/README.md"}}));
  EXPECT_EQ(get("windsurf:t").activity, "Reading README.md");
  adapted(with({{"agent_action_name", "pre_read_code"}}));
  EXPECT_EQ(get("windsurf:t").activity, "Reading ");
  adapted(with({{"agent_action_name", "pre_mcp_tool_use"},
                {"tool_info", {{"mcp_server_name", "linear"}, {"mcp_tool_name", "list_issues"}}}}));
  EXPECT_EQ(get("windsurf:t").activity, "linear · list_issues");
  adapted(with({{"agent_action_name", "pre_mcp_tool_use"}}));
  EXPECT_EQ(get("windsurf:t").activity, "mcp · tool");

  const Session& s = get("windsurf:t");
  std::vector<std::string> tools;
  for (const ToolTally& t : s.tally) tools.push_back(t.tool);
  EXPECT_EQ(tools, (std::vector<std::string>{"Edit", "Read", "mcp__linear__list_issues",
                                             "mcp__mcp__tool"}));
}

TEST_F(AdaptedTest, ToolInputIsTakenFromTheFirstPresentKeyOrParsedFromText) {
  const auto inputOf = [&](Json extra) {
    Json message = {
        {"_agent", "copilot"}, {"event", "preToolUse"}, {"sessionId", "cp"}, {"toolName", "Bash"}};
    message.update(extra);
    adapted(message);
    return get("copilot:cp").tally.back().detail;
  };
  EXPECT_EQ(inputOf({{"toolArgs", R"({"command":"git status"})"}}), "git status");
  EXPECT_EQ(inputOf({{"toolArgs", {{"command", "git log"}}}}), "git log");
  EXPECT_EQ(inputOf({{"args", {{"command", "git diff"}}}}), "git diff");
  EXPECT_EQ(inputOf({{"tool_input", {{"command", "ls"}}}, {"args", {{"command", "pwd"}}}}), "ls");
  // "tool_input" is present but no object: empty, then the text is parsed.
  EXPECT_EQ(inputOf({{"tool_input", "x"}, {"toolArgs", R"({"command":"make"})"}}), "make");
  EXPECT_EQ(inputOf({{"toolArgs", "not json {"}}), "");
  EXPECT_EQ(inputOf({{"toolArgs", "[1,2]"}}), "");
  EXPECT_EQ(get("copilot:cp").turnCalls, 7);
}

TEST_F(AdaptedTest, KeysAreTriedInTableOrderAndToolInfoFillsGaps) {
  // A wrongly typed top-level value is looked up in "tool_info"; an empty one moves on.
  adapted({{"_agent", "gemini"},
           {"hook_event_name", 3},
           {"event", "AfterTool"},
           {"session_id", ""},
           {"sessionID", "g-7"},
           {"tool_name", Json::array()},
           {"tool", "Read"},
           {"tool_info", {{"hook_event_name", "BeforeTool"}}},
           {"tool_input", {{"file_path", "/a/b.txt"}}}});
  const Session& s = get("gemini:g-7");
  EXPECT_EQ(s.tools.back(), (ToolLine{"Reading b.txt", true, false}))
      << "the event came from tool_info";

  adapted({{"_agent", "gemini"},
           {"hook_event_name", "BeforeTool"},
           {"session_id", "g-7"},
           {"toolName", "Grep"},
           {"tool", "Read"},
           {"tool_input", {{"pattern", "TODO"}}}});
  EXPECT_EQ(get("gemini:g-7").activity, "Searching TODO");
}

TEST_F(AdaptedTest, SessionIdFallsBackToTheWorkingDirectoryThenDefault) {
  TempDir dir;
  adapted({{"_agent", "opencode"}, {"event", "session.created"}, {"directory", dir.path()}});
  adapted({{"_agent", "opencode"}, {"event", "session.created"}});
  adapted({{"event", "session.created"}, {"conversation_id", "x"}});
  EXPECT_EQ(get("opencode:" + dir.path()).root, dir.path());
  EXPECT_EQ(get("opencode:default").agent, Agent::opencode);
  EXPECT_EQ(get("claude:x").agent, Agent::claude) << "no agent name is Claude Code";
  EXPECT_EQ(hub().sessions().size(), 3u);
}

TEST_F(AdaptedTest, EventNamesAreMappedExactly) {
  adapted({{"_agent", "copilot"}, {"event", "sessionStart"}, {"sessionId", "a"}});
  adapted({{"_agent", "droid"}, {"hook_event_name", "SessionStart"}, {"session_id", "b"}});
  EXPECT_EQ(get("copilot:a").mood, Mood::idle);
  EXPECT_EQ(get("droid:b").mood, Mood::idle);

  for (const char* name : {"sessionstart", "Session.Created", "", "pre_run_Command"})
    expectReleased(adapted({{"_agent", "copilot"}, {"event", name}, {"sessionId", "c"}}));
  expectReleased(adapted({{"_agent", "copilot"}, {"sessionId", "c"}}));
  EXPECT_EQ(hub().find("copilot:c"), nullptr);

  adapted({{"_agent", "copilot"}, {"event", "sessionEnd"}, {"sessionId", "a"}});
  EXPECT_EQ(hub().find("copilot:a"), nullptr);
}

TEST_F(AdaptedTest, PromptsAreReadUnderEachSpelling) {
  const std::vector<std::pair<Json, std::string>> cases = {
      {{{"hook_event_name", "BeforeAgent"}, {"prompt", "one"}}, "one"},
      {{{"event", "userPromptSubmitted"}, {"user_prompt", "two"}}, "two"},
      {{{"agent_action_name", "pre_user_prompt"}, {"tool_info", {{"userPrompt", "three"}}}},
       "three"},
      {{{"event", "prompt"}}, ""},
  };
  for (const auto& [message, title] : cases) {
    Json full = message;
    full["session_id"] = "p";
    full["_agent"] = "gemini";
    adapted(full);
    EXPECT_EQ(get("gemini:p").title, title);
    EXPECT_EQ(get("gemini:p").mood, Mood::working);
  }
}

TEST_F(AdaptedTest, PermissionEventsLeaveANoteForTheAgentsWindow) {
  expectReleased(adapted({{"_agent", "opencode"}, {"event", "permission"}, {"sessionID", "o"}}));
  const Session& s = get("opencode:o");
  ASSERT_TRUE(s.pending && s.pending->isElsewhere());
  EXPECT_EQ(s.pending->elsewhere()->text, "Needs your OK");
  EXPECT_EQ(s.mood, Mood::waiting);

  adapted({{"_agent", "gemini"},
           {"hook_event_name", "Notification"},
           {"session_id", "g"},
           {"details", "Allow write to /etc/hosts?"}});
  EXPECT_EQ(get("gemini:g").pending->elsewhere()->text, "Allow write to /etc/hosts?");
}

TEST_F(AdaptedTest, StopsTakeTheFinalMessageAndOnlyRepliableAgentsWait) {
  const Relay idle = adapted({{"_agent", "opencode"},
                              {"event", "session.idle"},
                              {"sessionID", "o"},
                              {"response", std::string(120, 'x') + "\nsecond line"}});
  expectReleased(idle);
  EXPECT_EQ(get("opencode:o").activity, std::string(89, 'x') + "…");
  EXPECT_EQ(get("opencode:o").mood, Mood::done);

  expectReleased(adapted({{"_agent", "copilot"},
                          {"event", "errorOccurred"},
                          {"sessionId", "c"},
                          {"error", "Rate limited"}}));
  EXPECT_EQ(get("copilot:c").activity, "Rate limited");
  expectReleased(adapted({{"_agent", "windsurf"},
                          {"agent_action_name", "post_cascade_response"},
                          {"trajectory_id", "w"},
                          {"tool_info", {{"response", "Done."}}}}));
  EXPECT_EQ(get("windsurf:w").activity, "Done.");

  const Relay gemini = adapted({{"_agent", "gemini"},
                                {"hook_event_name", "AfterAgent"},
                                {"session_id", "g"},
                                {"prompt_response", "Here you go"}});
  ASSERT_TRUE(gemini.pendingId);
  EXPECT_EQ(gemini.calls(), 0u);
  EXPECT_EQ(get("gemini:g").pending->reply()->lastMessage, "Here you go");

  const Relay droid = adapted({{"_agent", "droid"},
                               {"hook_event_name", "Stop"},
                               {"session_id", "d"},
                               {"stop_hook_active", true}});
  ASSERT_TRUE(droid.pendingId) << "the flag is not carried over";
  hub().sendReply("droid:d", "more");
  EXPECT_EQ(json::string(droid.lastJson(), "decision"), "block");
}

TEST_F(AdaptedTest, TranscriptPathAndHostArePassedOn) {
  TempDir dir;
  const std::string transcript = dir.path() + "/chat.json";
  adapted({{"_agent", "gemini"},
           {"hook_event_name", "SessionStart"},
           {"session_id", "g"},
           {"transcript_path", transcript},
           {"_host", {{"pid", 77}}}});
  EXPECT_EQ(get("gemini:g").transcript, transcript);
  EXPECT_EQ(get("gemini:g").hostPid, 77);
}

// Payloads as the agents send them, with the keys the relay adds.
TEST_F(AdaptedTest, RecordedPayloadsOfEveryAgent) {
  struct Case {
    const char* file;
    const char* id;
    bool waits;
    Mood shown;
    const char* activity;
  };
  const Case cases[] = {
      {"gemini-after-agent.json", "gemini:5c1f7a2e-9b1d-4e55-8c1a-2f6d3b7e9a10", true, Mood::done,
       "The tile cache keeps decoded tiles in memory."},
      {"copilot-pre-tool.json", "copilot:/home/dev/src/atlas", false, Mood::working,
       "Running npm test -- --watch=false"},
      {"windsurf-pre-write-code.json", "windsurf:traj_01J9ZKQ4M7", false, Mood::working,
       "Editing cache.rs"},
      {"opencode-permission.json", "opencode:ses_6a1b2c3d4e5fXyZ", false, Mood::waiting, ""},
      {"droid-stop.json", "droid:b7e2d1c0-4a5b-4c6d-9e8f-0a1b2c3d4e5f", true, Mood::done,
       "Finished"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const auto text = files::read(std::string(TALVANE_TEST_DATA "/agents/") + c.file);
    ASSERT_TRUE(text);
    const Relay relay = adapted(*json::parseObject(*text));
    EXPECT_EQ(relay.pendingId.has_value(), c.waits);
    EXPECT_EQ(relay.calls(), c.waits ? 0u : 1u);
    const Session& s = get(c.id);
    EXPECT_EQ(s.shownMood(loop.now()), c.shown);
    EXPECT_EQ(s.activity, c.activity);
  }
  EXPECT_EQ(get("copilot:/home/dev/src/atlas").tally.at(0).detail, "npm test -- --watch=false");
  EXPECT_EQ(get("opencode:ses_6a1b2c3d4e5fXyZ").pending->elsewhere()->text, "Run rm -rf build?");
  EXPECT_EQ(get("gemini:5c1f7a2e-9b1d-4e55-8c1a-2f6d3b7e9a10").hostBundle, "/usr/bin/kitty");
  EXPECT_EQ(get("gemini:5c1f7a2e-9b1d-4e55-8c1a-2f6d3b7e9a10").pending->reply()->lastMessage,
            "The tile cache keeps decoded tiles in memory.\nIt evicts the least recently used "
            "tile first.");
}

// Tool calls as each agent names them read like Claude Code's.
TEST_F(AdaptedTest, EachAgentsToolNamesReadLikeClaudeCodes) {
  struct Case {
    const char* payload;
    const char* activity;
    const char* tool;  // as counted in the tally
    const char* detail;
  };
  const Case cases[] = {
      {R"({"_agent":"gemini","hook_event_name":"BeforeTool","session_id":"g","cwd":"/w",
          "tool_name":"run_shell_command",
          "tool_input":{"command":"echo hi","description":"Say hi","directory":"/w"}})",
       "Running echo hi", "Bash", "echo hi"},
      {R"({"_agent":"gemini","hook_event_name":"BeforeTool","session_id":"g",
          "tool_name":"read_file","tool_input":{"absolute_path":"/w/src/tiles.rs"}})",
       "Reading tiles.rs", "Read", "tiles.rs"},
      {R"({"_agent":"gemini","hook_event_name":"BeforeTool","session_id":"g",
          "tool_name":"read_file","tool_input":{"file_path":"/w/a.rs","absolute_path":"/w/b.rs"}})",
       "Reading a.rs", "Read", "a.rs"},
      {R"({"_agent":"gemini","hook_event_name":"BeforeTool","session_id":"g",
          "tool_name":"replace","tool_input":{"file_path":"/w/cache.rs","old_string":"a",
          "new_string":"b"}})",
       "Editing cache.rs", "Edit", "cache.rs"},
      {R"({"_agent":"gemini","hook_event_name":"BeforeTool","session_id":"g",
          "tool_name":"search_file_content","tool_input":{"pattern":"TODO","include":"*.rs"}})",
       "Searching TODO", "Grep", "TODO"},
      {R"({"_agent":"gemini","hook_event_name":"BeforeTool","session_id":"g",
          "tool_name":"google_web_search","tool_input":{"query":"tile cache eviction"}})",
       "Searching the web", "WebSearch", "tile cache eviction"},
      {R"({"_agent":"gemini","hook_event_name":"BeforeTool","session_id":"g",
          "tool_name":"read_many_files","tool_input":{"paths":[3,"/w/README.md","/w/a.md"]}})",
       "Reading README.md", "Read", "README.md"},
      {R"({"_agent":"gemini","hook_event_name":"BeforeTool","session_id":"g",
          "tool_name":"save_memory","tool_input":{"fact":"tabs"}})",
       "save_memory", "save_memory", ""},
      {R"({"_agent":"copilot","hook_event_name":"preToolUse","cwd":"/w","toolName":"view",
          "toolArgs":"{\"path\":\"/w/src/index.ts\"}"})",
       "Reading index.ts", "Read", "index.ts"},
      {R"({"_agent":"copilot","hook_event_name":"preToolUse","cwd":"/w","toolName":"create",
          "toolArgs":"{\"path\":\"/w/NOTES.md\",\"file_text\":\"x\"}"})",
       "Writing NOTES.md", "Write", "NOTES.md"},
      {R"({"_agent":"opencode","hook_event_name":"tool.before","session_id":"o",
          "tool_name":"edit","tool_input":{"filePath":"/w/src/app.ts","oldString":"a"}})",
       "Editing app.ts", "Edit", "app.ts"},
      {R"({"_agent":"opencode","hook_event_name":"tool.before","session_id":"o",
          "tool_name":"webfetch","tool_input":{"url":"https://docs.rs/tokio","format":"md"}})",
       "Reading docs.rs", "WebFetch", "docs.rs"},
      {R"({"_agent":"droid","hook_event_name":"PreToolUse","session_id":"d",
          "tool_name":"Execute","tool_input":{"command":"cargo build","riskLevel":"low"}})",
       "Running cargo build", "Bash", "cargo build"},
      {R"({"_agent":"droid","hook_event_name":"PreToolUse","session_id":"d",
          "tool_name":"Glob","tool_input":{"patterns":["**/*.rs"]}})",
       "Searching **/*.rs", "Glob", "**/*.rs"},
      // Another agent's name means nothing here: only the sender's table applies.
      {R"({"_agent":"droid","hook_event_name":"PreToolUse","session_id":"d",
          "tool_name":"run_shell_command","tool_input":{"command":"ls"}})",
       "run_shell_command", "run_shell_command", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    const auto payload = json::parseObject(c.payload);
    ASSERT_TRUE(payload);
    adapted(*payload);
    const std::string id = json::string(*payload, "_agent").value_or("") + ":" +
                           json::string(*payload, "session_id").value_or("/w");
    const Session& s = get(id);
    EXPECT_EQ(s.activity, c.activity);
    const auto counted = std::find_if(s.tally.begin(), s.tally.end(),
                                      [&](const ToolTally& t) { return t.tool == c.tool; });
    ASSERT_NE(counted, s.tally.end());
    EXPECT_EQ(counted->detail, c.detail);
  }
}

// --- through the real relay and Bridge ---------------------------------------------------

class AdaptedRelayTest : public RelayHubTest {
 protected:
  // A relay whose event does not wait: it leaves at once, printing nothing.
  void expectPassesThrough(const std::string& agent, const std::string& payload,
                           const std::string& sessionId) {
    RelayProcess relay({agent}, payload);
    ASSERT_TRUE(relay.started());
    ASSERT_TRUE(runUntil([&] { return relay.finished() && hub->find(sessionId); })) << agent;
    EXPECT_EQ(relay.output(), "");
    EXPECT_FALSE(hub->find(sessionId)->pending);
    EXPECT_EQ(hub->find(sessionId)->mood, Mood::done);
  }
};

TEST_F(AdaptedRelayTest, GeminiAfterAgentWaitsAndIsDenied) {
  RelayProcess relay({"gemini"}, R"({"hook_event_name":"AfterAgent","session_id":"g1",)"
                                 R"("prompt_response":"Done"})");
  expectHeld(relay);
  hub->sendReply("gemini:g1", "Also update the changelog");
  ASSERT_TRUE(runUntil([&] { return relay.finished(); }));
  const auto answer = json::parseObject(relay.output());
  ASSERT_TRUE(answer) << relay.output();
  EXPECT_EQ(json::string(*answer, "decision"), "deny");
  EXPECT_EQ(json::string(*answer, "reason"),
            "The user replied from the Talvane notch:\n\nAlso update the changelog");
}

TEST_F(AdaptedRelayTest, DroidStopWaitsAndIsBlocked) {
  RelayProcess relay({"droid"}, R"({"hook_event_name":"Stop","session_id":"d1"})");
  expectHeld(relay);
  hub->sendReply("droid:d1", "Run the linter too");
  ASSERT_TRUE(runUntil([&] { return relay.finished(); }));
  const auto answer = json::parseObject(relay.output());
  ASSERT_TRUE(answer) << relay.output();
  EXPECT_EQ(json::string(*answer, "decision"), "block");
}

TEST_F(AdaptedRelayTest, CopilotWindsurfAndOpenCodeNeverWait) {
  expectPassesThrough("copilot", R"({"event":"agentStop","sessionId":"c1"})", "copilot:c1");
  expectPassesThrough("windsurf",
                      R"({"agent_action_name":"post_cascade_response","trajectory_id":"w1"})",
                      "windsurf:w1");
  expectPassesThrough("opencode", R"({"event":"session.idle","sessionID":"o1"})", "opencode:o1");
  EXPECT_EQ(hub->responderCount(), 0u);
}

}  // namespace
}  // namespace talvane::testing

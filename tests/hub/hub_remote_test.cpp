// Sessions that reach the app through a remote host's forward: the bridge marks their payloads
// with "_remote", the host as the user named it.
#include <filesystem>

#include "hub/hub.h"
#include "hub_test_support.h"
#include "support/test_home.h"

namespace talvane::testing {
namespace {

const std::string kDevbox = "me@devbox:2222";
const std::string kOther = "ci";

class HubRemoteTest : public HubTest {
 public:
  static Json from(const std::string& remote, Json message) {
    message["_remote"] = remote;
    return message;
  }
};

TEST_F(HubRemoteTest, OneIdOnTwoMachinesAndHereIsThreeSessions) {
  send(event("UserPromptSubmit", "s1", {{"prompt", "here"}}));
  send(from(kDevbox, event("UserPromptSubmit", "s1", {{"prompt", "on devbox"}})));
  send(from(kOther, event("UserPromptSubmit", "s1", {{"prompt", "on ci"}})));
  send(from("", event("PreToolUse", "s1", {{"tool_name", "Read"}})));  // empty: this machine

  EXPECT_EQ(ids(hub().visible()),
            (std::vector<std::string>{"claude:s1", "claude:s1@me@devbox:2222", "claude:s1@ci"}));
  EXPECT_EQ(get("claude:s1").title, "here");
  EXPECT_EQ(get("claude:s1").tools.size(), 1u);
  EXPECT_EQ(get("claude:s1@me@devbox:2222").title, "on devbox");
  EXPECT_EQ(get("claude:s1@me@devbox:2222").remote, kDevbox);
  EXPECT_EQ(get("claude:s1@me@devbox:2222").conversation(), "s1");
  EXPECT_FALSE(get("claude:s1").remote);

  // What a user may type names the one, or all three when ambiguous.
  using Ids = std::vector<std::string>;
  EXPECT_EQ(hub().idsMatching("s1"),
            (Ids{"claude:s1", "claude:s1@me@devbox:2222", "claude:s1@ci"}));
  EXPECT_EQ(hub().idsMatching("s1@ci"), Ids{"claude:s1@ci"});
  EXPECT_EQ(hub().idsMatching("claude:s1@me@devbox:2222"), Ids{"claude:s1@me@devbox:2222"});

  send(from(kOther, event("SessionEnd", "s1")));
  EXPECT_EQ(ids(hub().visible()),
            (std::vector<std::string>{"claude:s1", "claude:s1@me@devbox:2222"}));
}

TEST_F(HubRemoteTest, EveryAgentsEventsAreKeyedByTheirHost) {
  hub().adapted(from(kDevbox, {{"_agent", "gemini"},
                               {"hook_event_name", "BeforeAgent"},
                               {"session_id", "g1"},
                               {"prompt", "remote gemini"}}),
                [](const std::string&) {});
  hub().adapted({{"_agent", "gemini"}, {"hook_event_name", "BeforeAgent"}, {"session_id", "g1"}},
                [](const std::string&) {});
  Relay remoteCursor;
  hub().cursor(from(kDevbox, {{"hook_event_name", "afterAgentResponse"},
                              {"conversation_id", "c1"},
                              {"text", "remote answer"}}),
               remoteCursor.reply());
  hub().cursor({{"hook_event_name", "afterAgentResponse"},
                {"conversation_id", "c1"},
                {"text", "local answer"}},
               [](const std::string&) {});
  hub().cursor(
      from(kDevbox,
           {{"hook_event_name", "stop"}, {"conversation_id", "c1"}, {"status", "completed"}}),
      remoteCursor.reply());

  EXPECT_EQ(get("gemini:g1@me@devbox:2222").title, "remote gemini");
  EXPECT_EQ(get("gemini:g1@me@devbox:2222").remote, kDevbox);
  EXPECT_TRUE(hub().find("gemini:g1"));
  EXPECT_EQ(get("cursor:c1@me@devbox:2222").activity, "remote answer");
  EXPECT_FALSE(hub().find("cursor:c1")) << "the local response alone makes no session";
}

TEST_F(HubRemoteTest, ARequestOnOneHostIsAnsweredThereOnly) {
  Relay here = permission("s1", "tu1");
  Relay there = send(from(kDevbox, event("PermissionRequest", "s1",
                                         {{"tool_name", "Bash"},
                                          {"tool_input", {{"command", "make"}}},
                                          {"tool_use_id", "tu1"}})));
  ASSERT_TRUE(here.pendingId && there.pendingId);
  EXPECT_NE(*here.pendingId, *there.pendingId);
  EXPECT_EQ(hub().responderCount(), 2u);

  hub().decide("claude:s1@me@devbox:2222", "allow");
  ASSERT_EQ(there.calls(), 1u);
  EXPECT_EQ(there.lastJson()["hookSpecificOutput"]["decision"]["behavior"], "allow");
  EXPECT_EQ(here.calls(), 0u);
  EXPECT_TRUE(get("claude:s1").pending);
  EXPECT_FALSE(get("claude:s1@me@devbox:2222").pending);

  // The remote agent's own answer ends its request, not the local one.
  Relay again = send(from(kDevbox, event("PermissionRequest", "s1",
                                         {{"tool_name", "Bash"},
                                          {"tool_input", {{"command", "make"}}},
                                          {"tool_use_id", "tu2"}})));
  send(from(kDevbox, event("PostToolUse", "s1", {{"tool_use_id", "tu2"}})));
  EXPECT_EQ(again.calls(), 1u);
  EXPECT_EQ(here.calls(), 0u);

  // A finished remote turn is offered a reply like a local one.
  Relay stopped = send(from(kDevbox, event("Stop", "s1", {{"last_assistant_message", "Done"}})));
  ASSERT_TRUE(stopped.pendingId);
  hub().sendReply("claude:s1@me@devbox:2222", "and the docs");
  ASSERT_EQ(stopped.calls(), 1u);
  EXPECT_NE(stopped.last().find("and the docs"), std::string::npos);
  EXPECT_EQ(here.calls(), 0u);
}

// Process ids, terminals and paths a remote relay sends belong to its machine.
TEST_F(HubRemoteTest, NothingLocalIsAskedAboutARemoteSession) {
  TestHome home;
  const std::string transcript = home.write(
      ".claude/projects/p/s1.jsonl",
      R"({"type":"assistant","message":{"id":"m1","model":"claude-haiku-4-5","usage":{"input_tokens":1}}})"
      "\n");
  TempDir folder;
  std::filesystem::create_directories(folder.path() + "/repo/.git");
  std::filesystem::create_directories(folder.path() + "/repo/sub");
  const Json host = {{"agentPid", 4001},        {"pid", 4000},
                     {"tty", "/dev/pts/3"},     {"bundle", "/usr/bin/tmux"},
                     {"machine", "devbox.lan"}, {"tmuxPane", "%4"}};
  send(from(kDevbox, event("SessionStart", "s1",
                           {{"_host", host},
                            {"cwd", folder.path() + "/repo/sub"},
                            {"transcript_path", transcript}})));
  send(event("SessionStart", "s1", {{"cwd", folder.path() + "/repo/sub"}}));
  loop.runPending();

  const Session& s = get("claude:s1@me@devbox:2222");
  EXPECT_EQ(s.root, folder.path() + "/repo/sub") << "no project root looked up here";
  EXPECT_EQ(get("claude:s1").root, folder.path() + "/repo");
  EXPECT_FALSE(s.agentPid || s.hostPid || s.tty || s.hostBundle);
  EXPECT_FALSE(s.transcript);
  EXPECT_EQ(s.stats, TranscriptStats{});
  EXPECT_EQ(s.machine, "devbox.lan");
  EXPECT_EQ(s.tmuxPane, "%4");

  // A local process 4001 that has gone says nothing about the remote agent.
  deadPids = {4001};
  loop.advance(21);
  EXPECT_TRUE(hub().find("claude:s1@me@devbox:2222"));

  hub().jump("claude:s1@me@devbox:2222");
  hub().jump("claude:s1");
  EXPECT_EQ(remoteJumps, std::vector<std::string>{"claude:s1@me@devbox:2222"});
  EXPECT_EQ(jumps, std::vector<std::string>{"claude:s1"});
}

TEST_F(HubRemoteTest, SnapshotNamesTheMachineAndTheHost) {
  send(from(kDevbox, event("SessionStart", "named", {{"_host", {{"machine", "devbox.lan"}}}})));
  send(from(kOther, event("SessionStart", "unnamed", {{"_host", {{"machine", ""}}}})));
  send(event("SessionStart", "local"));
  const Json snapshot = hub().snapshot();
  std::map<std::string, Json> byId;
  for (const Json& s : snapshot["sessions"]) byId[s["id"]] = s;

  const Json& named = byId["claude:named@me@devbox:2222"];
  EXPECT_EQ(named["machine"], "devbox.lan");
  EXPECT_EQ(named["remote"], kDevbox);
  const Json& unnamed = byId["claude:unnamed@ci"];
  EXPECT_EQ(unnamed["machine"], kOther);
  EXPECT_EQ(unnamed["remote"], kOther);
  EXPECT_FALSE(byId["claude:local"].contains("machine"));
  EXPECT_FALSE(byId["claude:local"].contains("remote"));
}

}  // namespace
}  // namespace talvane::testing

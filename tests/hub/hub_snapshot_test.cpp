#include <gtest/gtest.h>

#include "hub_test_support.h"

namespace talvane::testing {
namespace {

class HubSnapshotTest : public HubTest {
 protected:
  Session add(const std::string& id, Agent agent = Agent::claude) {
    Session s = hub().session(id, agent, "");
    hub().store(s);
    return s;
  }
  void put(const Session& s) { hub().store(s); }
  Json sessionOf(const std::string& id) {
    const Json snap = hub().snapshot();
    for (const Json& s : snap["sessions"])
      if (s["id"] == id) return s;
    ADD_FAILURE() << id << " not in the snapshot";
    return Json();
  }
  Json statsOf(Session s) {
    put(s);
    return sessionOf(s.id)["stats"];
  }
  static std::set<std::string> keys(const Json& object) {
    std::set<std::string> out;
    for (const auto& [key, value] : object.items()) out.insert(key);
    return out;
  }
};

TEST_F(HubSnapshotTest, AnEmptyHubSendsEveryFixedKey) {
  settings.prefs = [] { return Json{{"hideAfter", 120}}; };
  const Json snap = hub().snapshot();
  EXPECT_EQ(keys(snap), (std::set<std::string>{"open", "sessions", "selected", "focus", "queue",
                                               "canUndo", "settings", "now"}));
  EXPECT_EQ(snap["open"], false);
  EXPECT_EQ(snap["sessions"], Json::array());
  EXPECT_TRUE(snap["selected"].is_null());
  EXPECT_TRUE(snap["focus"].is_null());
  EXPECT_EQ(snap["queue"], Json::array());
  EXPECT_EQ(snap["canUndo"], false);
  EXPECT_EQ(snap["settings"], (Json{{"hideAfter", 120}}));
  EXPECT_DOUBLE_EQ(snap["now"].get<double>(), loop.now() * 1000);
}

TEST_F(HubSnapshotTest, ASessionSendsItsFixedKeys) {
  send(
      event("UserPromptSubmit", "s1", {{"prompt", "Fix the tests"}, {"cwd", "/tmp/snap/project"}}));
  send(event("PreToolUse", "s1",
             {{"tool_name", "Edit"}, {"tool_input", {{"file_path", "/a/b.cpp"}}}}));
  const Json s = sessionOf("claude:s1");
  EXPECT_EQ(keys(s), (std::set<std::string>{"id", "agent", "color", "title", "project", "mood",
                                            "activity", "updated", "tools", "phase", "turnCalls",
                                            "tally", "family", "pose", "stats"}));
  EXPECT_EQ(s["agent"], "claude");
  EXPECT_EQ(s["color"], 0);
  EXPECT_EQ(s["title"], "Fix the tests");
  EXPECT_EQ(s["project"], "project");
  EXPECT_EQ(s["mood"], "working");
  EXPECT_EQ(s["activity"], "Editing b.cpp");
  EXPECT_DOUBLE_EQ(s["updated"].get<double>(), loop.now() * 1000);
  EXPECT_EQ(s["tools"],
            (Json::array({{{"label", "Editing b.cpp"}, {"running", true}, {"failed", false}}})));
  EXPECT_EQ(s["phase"], "writing");
  EXPECT_EQ(s["turnCalls"], 1);
  EXPECT_EQ(
      s["tally"],
      (Json::array({{{"tool", "Edit"}, {"detail", "b.cpp"}, {"count", 1}, {"kind", "write"}}})));
  EXPECT_EQ(s["family"], "desktop");
  EXPECT_EQ(s["pose"], "write");
  EXPECT_EQ(keys(s["stats"]), (std::set<std::string>{"cost", "turnStart"}));
  EXPECT_EQ(s["stats"]["cost"], 0.0);
}

TEST_F(HubSnapshotTest, ProjectIsTheFolderNameOrATilde) {
  for (const auto& [root, project] : std::vector<std::pair<std::string, std::string>>{
           {"/", "~"}, {"", "~"}, {"/home/me/app", "app"}, {"/home/me/app/", "app"}}) {
    Session s = add("claude:p");
    s.root = root;
    put(s);
    EXPECT_EQ(sessionOf("claude:p")["project"], project) << root;
  }
}

TEST_F(HubSnapshotTest, ModelAndContextFollowTheAgentAndTheKnownWindow) {
  Session claude = add("claude:m");
  claude.stats.model = "claude-haiku-4-5-20251001";
  claude.stats.contextTokens = 50000;
  Json stats = statsOf(claude);
  EXPECT_EQ(stats["model"], "Haiku 4.5");
  EXPECT_DOUBLE_EQ(stats["context"].get<double>(), 0.25);
  EXPECT_EQ(stats["contextTokens"], 50000);

  // A window the statistics know wins over the price table.
  claude.stats.contextWindow = 100000;
  EXPECT_DOUBLE_EQ(statsOf(claude)["context"].get<double>(), 0.5);

  // Nothing used yet: no context.
  claude.stats.contextTokens = 0;
  EXPECT_EQ(keys(statsOf(claude)), (std::set<std::string>{"cost", "model"}));

  // Other agents send their model as recorded; without any window there is no context.
  Session codex = add("codex:m", Agent::codex);
  codex.stats.model = "gpt-5-codex";
  codex.stats.contextTokens = 1000;
  codex.stats.cost = 1.25;
  stats = statsOf(codex);
  EXPECT_EQ(keys(stats), (std::set<std::string>{"cost", "model"}));
  EXPECT_EQ(stats["model"], "gpt-5-codex");
  EXPECT_EQ(stats["cost"], 1.25);
  codex.stats.contextWindow = 4000;
  EXPECT_DOUBLE_EQ(statsOf(codex)["context"].get<double>(), 0.25);

  // Tokens without a model send no context.
  Session bare = add("claude:bare");
  bare.stats.contextTokens = 10;
  bare.stats.contextWindow = 100;
  EXPECT_EQ(keys(statsOf(bare)), (std::set<std::string>{"cost"}));
}

TEST_F(HubSnapshotTest, TurnEndOnlyAfterTheTurnStart) {
  Session s = add("claude:t");
  s.finishedAt = 1000;
  EXPECT_EQ(keys(statsOf(s)), (std::set<std::string>{"cost"}));
  s.turnStarted = 1000;
  Json stats = statsOf(s);
  EXPECT_EQ(keys(stats), (std::set<std::string>{"cost", "turnStart"}));
  EXPECT_EQ(stats["turnStart"], 1000000.0);
  s.finishedAt = 1000.5;
  stats = statsOf(s);
  EXPECT_EQ(stats["turnEnd"], 1000500.0);
}

TEST_F(HubSnapshotTest, TheTallySendsTheFourLatestToolsNewestFirst) {
  Session s = add("claude:t");
  const char* tools[] = {"A", "B", "C", "D", "E", "F"};
  const Date last[] = {10, 30, 20, 30, 5, 40};
  for (int i = 0; i < 6; ++i) s.tally.push_back(ToolTally{tools[i], "", 1, "other", last[i]});
  put(s);
  std::vector<std::string> sent;
  const Json tally = sessionOf("claude:t")["tally"];
  for (const Json& t : tally) sent.push_back(t["tool"]);
  EXPECT_EQ(sent, (std::vector<std::string>{"F", "B", "D", "C"}));
}

TEST_F(HubSnapshotTest, BranchAndHostOnlyWhenKnown) {
  settings.hostName = [](const Session& s) {
    return s.tty ? std::optional<std::string>("kitty") : std::nullopt;
  };
  Session s = add("claude:h");
  EXPECT_FALSE(sessionOf("claude:h").contains("branch"));
  EXPECT_FALSE(sessionOf("claude:h").contains("host"));
  s.stats.branch = "main";
  s.tty = "/dev/pts/1";
  put(s);
  EXPECT_EQ(sessionOf("claude:h")["branch"], "main");
  EXPECT_EQ(sessionOf("claude:h")["host"], "kitty");
}

TEST_F(HubSnapshotTest, EachKindOfRequestSendsItsKeys) {
  permission("p", "t1", "make");
  send(event(
      "PermissionRequest", "q",
      {{"tool_name", "AskUserQuestion"},
       {"tool_input",
        {{"questions", Json::array({{{"header", "H"},
                                     {"question", "Which?"},
                                     {"multiSelect", true},
                                     {"options", Json::array({{{"label", "One"},
                                                               {"description", "1"}}})}}})}}}}));
  stop("r", "Done here.");
  send(event("Notification", "e",
             {{"notification_type", "permission_prompt"}, {"message", "Look"}}));
  hub().engage("claude:p");
  const Date now = loop.now() * 1000;

  EXPECT_EQ(sessionOf("claude:p")["pending"], (Json{{"id", "claude:p:t1"},
                                                    {"engaged", true},
                                                    {"since", now},
                                                    {"kind", "permission"},
                                                    {"title", "Wants to run"},
                                                    {"detail", "make"},
                                                    {"tool", "Bash"}}));
  EXPECT_EQ(sessionOf("claude:q")["pending"]["kind"], "question");
  EXPECT_EQ(sessionOf("claude:q")["pending"]["questions"],
            (Json::array({{{"header", "H"},
                           {"text", "Which?"},
                           {"multi", true},
                           {"options", Json::array({{{"label", "One"}, {"detail", "1"}}})}}})));
  const Json reply = sessionOf("claude:r")["pending"];
  EXPECT_EQ(keys(reply), (std::set<std::string>{"id", "engaged", "since", "kind", "message",
                                                "expires", "window"}));
  EXPECT_EQ(reply["message"], "Done here.");
  EXPECT_EQ(reply["expires"], now + 15000);
  EXPECT_EQ(reply["window"], 15000.0);
  EXPECT_EQ(sessionOf("claude:r")["mood"], "done");
  EXPECT_EQ(sessionOf("claude:e")["pending"], (Json{{"id", "claude:e:note"},
                                                    {"engaged", false},
                                                    {"since", now},
                                                    {"kind", "elsewhere"},
                                                    {"title", "Look"}}));
}

TEST_F(HubSnapshotTest, TheSelectionFallsBackToTheQueueThenTheFocus) {
  hideAfter = 10;
  send(event("SessionStart", "old"));
  loop.advance(11 * 60);
  send(event("SessionStart", "idle"));
  send(event("UserPromptSubmit", "busy"));
  hub().select("claude:old");  // no longer visible
  EXPECT_EQ(hub().snapshot()["selected"], "claude:busy");
  EXPECT_EQ(hub().snapshot()["focus"], "claude:busy");

  loop.advance(1);
  permission("asking");
  loop.advance(1);
  permission("later");
  hub().select("claude:old");
  Json snap = hub().snapshot();
  EXPECT_EQ(snap["selected"], "claude:asking");
  EXPECT_EQ(snap["queue"], (Json::array({"claude:asking", "claude:later"})));
  EXPECT_EQ(snap["focus"], "claude:later");

  hub().select("claude:idle");
  EXPECT_EQ(hub().snapshot()["selected"], "claude:idle");

  // Nothing visible at all.
  loop.advance(11 * 60);
  hub().dismiss("claude:asking");
  hub().dismiss("claude:later");
  hub().dismiss("claude:busy");
  snap = hub().snapshot();
  EXPECT_EQ(snap["sessions"], Json::array());
  EXPECT_TRUE(snap["selected"].is_null());
  EXPECT_TRUE(snap["focus"].is_null());
  EXPECT_FALSE(hub().sessions().empty());
}

TEST_F(HubSnapshotTest, FlashAndNewsOnlyBeforeTheirDeadline) {
  replyWindow = 0;
  stop("a");
  EXPECT_EQ(hub().snapshot()["flash"], "claude:a");
  // Past its deadline but not yet cleared by the tick.
  loop.setNow(loop.now() + 3.2);
  EXPECT_TRUE(hub().flash());
  EXPECT_FALSE(hub().snapshot().contains("flash"));

  PullRequest before, after;
  before.number = after.number = 3;
  before.state = "open";
  after.state = "merged";
  hub().prChanged(get("claude:a").root, before, after);
  EXPECT_EQ(hub().snapshot()["prNews"], (Json{{"id", "claude:a"}, {"kind", "merged"}}));
  loop.setNow(loop.now() + 8);
  EXPECT_FALSE(hub().snapshot().contains("prNews"));
}

TEST_F(HubSnapshotTest, CanUndoAndOpenFollowTheHub) {
  replyWindow = 0;
  stop("a");
  hub().setOpen(true);
  hub().clearFinished();
  const Json snap = hub().snapshot();
  EXPECT_EQ(snap["open"], true);
  EXPECT_EQ(snap["canUndo"], true);
}

}  // namespace
}  // namespace talvane::testing

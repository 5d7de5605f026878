#include "hub/session.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "support/test_home.h"

namespace talvane {
namespace {

constexpr Date t0 = 1'700'000'000.0;

std::vector<std::string> labels(const Session& s) {
  std::vector<std::string> out;
  for (const auto& line : s.tools) out.push_back(line.label);
  return out;
}

TEST(Agent, RawValuesAreExactAndOnlySomeAgentsTakeReplies) {
  for (Agent a : allAgents) EXPECT_EQ(agentFromRaw(rawValue(a)), a);
  EXPECT_EQ(rawValue(Agent::opencode), "opencode");
  EXPECT_EQ(agentFromRaw("Claude"), std::nullopt);
  EXPECT_EQ(agentFromRaw("claude "), std::nullopt);
  EXPECT_EQ(agentFromRaw(""), std::nullopt);

  std::vector<std::string_view> replying;
  for (Agent a : allAgents) {
    if (canReply(a)) replying.push_back(rawValue(a));
  }
  EXPECT_EQ(replying, (std::vector<std::string_view>{"claude", "cursor", "gemini", "droid"}));
}

TEST(MoodOrder, FollowsRawValues) {
  EXPECT_LT(Mood::done, Mood::working);
  EXPECT_EQ(moodFromRaw(3), Mood::waiting);
  EXPECT_EQ(moodFromRaw(4), std::nullopt);
  EXPECT_EQ(moodFromRaw(-1), std::nullopt);
}

TEST(SessionCreate, StartsEmptyAndFindsTheProjectRoot) {
  testing::TestHome home;
  home.write("work/app/.git/HEAD", "ref: refs/heads/main\n");
  files::makeDirs(home.path() + "/work/app/src");

  const Session s =
      Session::create("claude:abc", Agent::claude, t0, home.path() + "/work/app/src", 5);
  EXPECT_EQ(s.id, "claude:abc");
  EXPECT_EQ(s.root, home.path() + "/work/app");
  EXPECT_EQ(s.colorIndex, 5);
  EXPECT_EQ(s.mood, Mood::idle);
  EXPECT_EQ(s.phase, "reasoning");
  EXPECT_EQ(s.started, t0);
  EXPECT_EQ(s.updated, t0);
  EXPECT_FALSE(s.pending || s.turnStarted || s.finishedAt || s.transcript || s.hostPid ||
               s.hostBundle || s.tty || s.agentPid);
  EXPECT_EQ(s.stats, TranscriptStats{});

  EXPECT_EQ(Session::create("codex:x", Agent::codex, t0).root, "");
}

TEST(SessionTools, KeepsTheFourNewestWithOnlyTheNewestRunning) {
  Session s = Session::create("claude:1", Agent::claude, t0);
  s.pushTool("one");
  s.finishTools(true);
  for (const char* label : {"two", "three", "four", "five"}) s.pushTool(label);

  EXPECT_EQ(labels(s), (std::vector<std::string>{"two", "three", "four", "five"}));
  for (std::size_t i = 0; i < 3; ++i) EXPECT_FALSE(s.tools[i].running) << i;
  EXPECT_TRUE(s.tools[3].running);

  // Pushing stops older lines but leaves their failure marks.
  s = Session::create("claude:1", Agent::claude, t0);
  s.pushTool("a");
  s.finishTools(true);
  s.pushTool("b");
  EXPECT_EQ(s.tools[0], (ToolLine{"a", false, true}));
  EXPECT_EQ(s.tools[1], (ToolLine{"b", true, false}));
}

TEST(SessionTools, FinishingMarksTheNewestRunningLineOnly) {
  Session s = Session::create("claude:1", Agent::claude, t0);
  s.tools = {{"older", true, false}, {"newer", false, false}};
  s.finishTools(true);
  EXPECT_EQ(s.tools[0], (ToolLine{"older", false, true}));
  EXPECT_EQ(s.tools[1], (ToolLine{"newer", false, false}));

  // Nothing running: nothing changes, not even a failure mark on the newest line.
  const auto before = s.tools;
  s.finishTools(false);
  EXPECT_EQ(s.tools, before);

  s.tools = {{"x", true, true}};
  s.finishTools(false);
  EXPECT_EQ(s.tools[0], (ToolLine{"x", false, false}));
}

TEST(SessionTally, CountsPerToolAndMovesThePhase) {
  Session s = Session::create("claude:1", Agent::claude, t0);
  s.countTool("Read", {{"file_path", "/p/a.txt"}}, t0 + 1);
  EXPECT_EQ(s.phase, "researching");
  s.countTool("Edit", {{"file_path", "/p/b.txt"}}, t0 + 2);
  EXPECT_EQ(s.phase, "writing");
  s.countTool("Read", {{"file_path", "/p/c.txt"}}, t0 + 3);

  EXPECT_EQ(s.turnCalls, 3);
  ASSERT_EQ(s.tally.size(), 2u);
  EXPECT_EQ(s.tally[0], (ToolTally{"Read", "c.txt", 2, "research", t0 + 3}));
  EXPECT_EQ(s.tally[1], (ToolTally{"Edit", "b.txt", 1, "write", t0 + 2}));
  EXPECT_EQ(s.phase, "researching");

  s.countTool("Bash", {{"command", "make"}}, t0 + 4);
  EXPECT_EQ(s.phase, "reviewing");
  // Kinds without a phase leave it where it was.
  s.countTool("Task", Json::object(), t0 + 5);
  s.countTool("mcp__github__list_prs", Json::object(), t0 + 6);
  EXPECT_EQ(s.phase, "reviewing");
  s.countTool("TodoWrite", Json::object(), t0 + 7);
  EXPECT_EQ(s.phase, "reasoning");
  EXPECT_EQ(s.tally[4].detail, "list_prs");
  // Names are compared exactly.
  s.countTool("read", Json::object(), t0 + 8);
  EXPECT_EQ(s.tally.size(), 7u);
  EXPECT_EQ(s.turnCalls, 8);
}

TEST(SessionMood, FinishedTurnFadesToIdleAfterTenMinutes) {
  Session s = Session::create("claude:1", Agent::claude, t0);
  s.mood = Mood::done;
  s.finishedAt = t0;
  EXPECT_EQ(s.shownMood(t0 + 599), Mood::done);
  EXPECT_EQ(s.shownMood(t0 + 600), Mood::done);
  EXPECT_EQ(s.shownMood(t0 + 601), Mood::idle);
  EXPECT_EQ(s.pose(t0 + 601), "sleep");

  s.finishedAt.reset();
  EXPECT_EQ(s.shownMood(t0 + 10'000), Mood::done);
  EXPECT_EQ(s.pose(t0 + 1), "idle");

  s.mood = Mood::working;
  s.finishedAt = t0;
  EXPECT_EQ(s.shownMood(t0 + 10'000), Mood::working);
}

TEST(SessionMood, PendingRequestOverridesTheStoredMood) {
  Session s = Session::create("claude:1", Agent::claude, t0);
  s.mood = Mood::working;
  s.pending = Pending{"claude:1:r", Pending::Reply{"All done", t0 + 300}};
  EXPECT_EQ(s.shownMood(t0), Mood::done);
  EXPECT_EQ(s.pose(t0 + 1000), "success");

  s.mood = Mood::idle;
  s.pending = Pending{"claude:1:p", Pending::Permission{"Wants to run", "ls", "Bash"}};
  EXPECT_EQ(s.shownMood(t0), Mood::waiting);
  EXPECT_EQ(s.pose(t0), "alert");
  s.pending = Pending{"claude:1:q", Pending::Questions{}};
  EXPECT_EQ(s.pose(t0), "listen");
  s.pending = Pending{"claude:1:e", Pending::Elsewhere{"Answer in Gemini"}};
  EXPECT_EQ(s.shownMood(t0), Mood::waiting);
  EXPECT_EQ(s.pose(t0), "alert");

  ASSERT_NE(s.pending->elsewhere(), nullptr);
  EXPECT_EQ(s.pending->elsewhere()->text, "Answer in Gemini");
  EXPECT_EQ(s.pending->reply(), nullptr);
}

TEST(SessionPose, SuccessForThirtySecondsThenByActivity) {
  Session s = Session::create("claude:1", Agent::claude, t0);
  s.mood = Mood::done;
  s.finishedAt = t0;
  EXPECT_EQ(s.pose(t0 + 29.9), "success");
  EXPECT_EQ(s.pose(t0 + 30), "idle");

  s.mood = Mood::working;
  s.activity = "EDITING main.cpp";
  EXPECT_EQ(s.pose(t0), "write");
  s.activity = "Creating notes.md";
  EXPECT_EQ(s.pose(t0), "write");
  s.activity = "Running make";
  EXPECT_EQ(s.pose(t0), "think");
  s.activity = "Re-editing";
  EXPECT_EQ(s.pose(t0), "think");
  s.tools = {{"failed earlier", false, true}, {"Running ls", false, false}};
  EXPECT_EQ(s.pose(t0), "think");
  s.tools.back().failed = true;
  EXPECT_EQ(s.pose(t0), "error");

  s.mood = Mood::waiting;
  EXPECT_EQ(s.pose(t0), "alert");
}

TEST(SessionFamily, MacOsBundles) {
  Session s = Session::create("claude:1", Agent::claude, t0);
  auto familyOf = [&](std::optional<std::string> bundle) {
    s.hostBundle = std::move(bundle);
    return s.family();
  };
  EXPECT_EQ(familyOf("/Applications/iTerm.app"), "terminal");
  EXPECT_EQ(familyOf("/System/Applications/Utilities/Terminal.app"), "terminal");
  EXPECT_EQ(familyOf("/Applications/Ghostty.app"), "terminal");
  EXPECT_EQ(familyOf("/Applications/Visual Studio Code.app"), "editor");
  EXPECT_EQ(familyOf("/Applications/Visual Studio Code - Insiders.app"), "editor");
  EXPECT_EQ(familyOf("/Applications/IntelliJ IDEA.app"), "editor");
  EXPECT_EQ(familyOf("/Applications/Safari.app"), "desktop");
  EXPECT_EQ(familyOf("/Applications/Claude.app"), "desktop");

  // Without a host, the transcript's entry point decides.
  EXPECT_EQ(familyOf(std::nullopt), "desktop");
  s.stats.entrypoint = "cli";
  EXPECT_EQ(familyOf(std::nullopt), "terminal");
  EXPECT_EQ(familyOf(""), "terminal");
  s.stats.entrypoint = "sdk-ts";
  EXPECT_EQ(familyOf(std::nullopt), "desktop");
  EXPECT_EQ(familyOf("/Applications/Warp.app"), "terminal");

  // The agent itself decides first.
  EXPECT_EQ(Session::create("codex:1", Agent::codex, t0).family(), "codex");
  Session cursor = Session::create("cursor:1", Agent::cursor, t0);
  cursor.hostBundle = "/usr/bin/kitty";
  EXPECT_EQ(cursor.family(), "cursor");
}

TEST(SessionFamily, LinuxExecutables) {
  Session s = Session::create("claude:1", Agent::claude, t0);
  auto familyOf = [&](std::string path) {
    s.hostBundle = std::move(path);
    return s.family();
  };
  for (const char* path : {"/usr/libexec/gnome-terminal-server",
                           "/usr/bin/gnome-terminal",
                           "/usr/bin/kgx",
                           "/usr/bin/ptyxis",
                           "/usr/libexec/ptyxis-agent",
                           "/usr/bin/konsole",
                           "/usr/bin/xterm",
                           "/usr/bin/uxterm",
                           "/usr/bin/urxvt",
                           "/usr/bin/urxvtd",
                           "/usr/local/bin/st",
                           "/usr/bin/tilix",
                           "/usr/bin/terminator",
                           "/usr/bin/xfce4-terminal",
                           "/usr/bin/foot",
                           "/usr/bin/alacritty",
                           "/usr/bin/kitty",
                           "/usr/bin/wezterm-gui",
                           "/usr/bin/ghostty",
                           "/usr/bin/tmux",
                           "/usr/bin/screen",
                           "/usr/bin/zellij",
                           "/opt/Warp/warp-terminal"}) {
    EXPECT_EQ(familyOf(path), "terminal") << path;
  }
  for (const char* path :
       {"/usr/share/code/code", "/usr/bin/code-oss", "/usr/share/codium/codium",
        "/opt/Cursor/cursor", "/usr/share/windsurf/windsurf", "/usr/bin/zed", "/opt/idea/bin/idea",
        "/opt/pycharm/bin/pycharm.sh", "/opt/webstorm/bin/webstorm", "/opt/clion/bin/clion",
        "/opt/goland/bin/goland.sh", "/opt/rider/bin/rider"}) {
    EXPECT_EQ(familyOf(path), "editor") << path;
  }
  // Short names match whole names only.
  for (const char* path :
       {"/usr/games/steam", "/usr/bin/stterm-helper", "/usr/bin/football", "/usr/bin/screenkey",
        "/usr/bin/riders", "/usr/bin/ideas", "/usr/bin/firefox", "/usr/bin/kgxx"}) {
    EXPECT_EQ(familyOf(path), "desktop") << path;
  }
}

TEST(SessionHeadline, FallsBackThroughTitlesPromptAndFolder) {
  Session s = Session::create("claude:1", Agent::claude, t0);
  EXPECT_EQ(s.headline(), "~");
  s.root = "/";
  EXPECT_EQ(s.headline(), "/");
  s.root = "/home/ana/shop";
  EXPECT_EQ(s.headline(), "shop");

  s.stats.firstPrompt = "";
  EXPECT_EQ(s.headline(), "");  // a present first prompt wins even when it gives nothing
  s.stats.firstPrompt = "# Plan\nAdd **dark** mode";
  EXPECT_EQ(s.headline(), "Add dark mode");

  s.title = "Fix the build";
  EXPECT_EQ(s.headline(), "Fix the build");
  s.stats.customTitle = "";
  EXPECT_EQ(s.headline(), "Fix the build");
  s.stats.customTitle = "Release 2.0";
  EXPECT_EQ(s.headline(), "Release 2.0");
}

TEST(SessionProjectRoot, StopsAtTheNearestGitAndNeverAtHomeOrAbove) {
  testing::TestHome home;
  const std::string h = home.path();
  home.write("repo/.git/HEAD", "x");
  home.write("repo/sub/module/.git", "gitdir: ../../.git/modules/m\n");  // a .git file
  files::makeDirs(h + "/repo/sub/module/src");
  files::makeDirs(h + "/repo/sub/deep/er");
  files::makeDirs(h + "/plain/dir");

  EXPECT_EQ(Session::projectRoot(h + "/repo/sub/deep/er"), h + "/repo");
  EXPECT_EQ(Session::projectRoot(h + "/repo/sub/deep/er/"), h + "/repo");
  EXPECT_EQ(Session::projectRoot(h + "/repo"), h + "/repo");
  EXPECT_EQ(Session::projectRoot(h + "/repo/sub/module/src"), h + "/repo/sub/module");
  EXPECT_EQ(Session::projectRoot(h + "/repo/sub/./deep/../module/src"), h + "/repo/sub/module");

  // A .git in the home folder itself (dotfiles) is never taken as the project.
  home.write(".git/HEAD", "x");
  EXPECT_EQ(Session::projectRoot(h + "/plain/dir"), h + "/plain/dir");
  EXPECT_EQ(Session::projectRoot(h), h);

  EXPECT_EQ(Session::projectRoot("relative/dir"), "relative/dir");
  EXPECT_EQ(Session::projectRoot(""), "");
}

TEST(SessionProjectRoot, SearchesUpToTheRootOutsideHome) {
  testing::TempDir outside;  // a temporary folder is not below the test's home
  testing::TestHome home;
  files::makeDirs(outside.path() + "/proj/.git");
  files::makeDirs(outside.path() + "/proj/a/b");
  EXPECT_EQ(Session::projectRoot(outside.path() + "/proj/a/b"), outside.path() + "/proj");
  EXPECT_EQ(Session::projectRoot("/"), "/");
}

}  // namespace
}  // namespace talvane

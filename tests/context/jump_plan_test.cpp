#include "context/jump_plan.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <future>

#include "context/jump_runner.h"
#include "platform/event_loop.h"
#include "platform/manual_loop.h"
#include "support/test_home.h"

namespace talvane {
namespace {

using namespace Jump;

// An agent in a terminal on an X11 desktop, with every program on PATH.
Facts terminalSession() {
  Facts f;
  f.agent = "claude";
  f.root = "/home/u/project";
  f.hostPid = 300;
  f.hostExe = "/usr/bin/xterm";
  f.tty = "/dev/pts/4";
  f.ttyExists = true;
  f.agentPid = 200;
  f.lineage = {200, 250, 300};
  for (const char* p : {"tmux", "kitty", "wezterm", "code", "cursor", "windsurf"})
    f.programs[p] = std::string("/usr/bin/") + p;
  f.x11 = true;
  f.tmuxDefaultSocket = "/tmp/tmux-1000/default";
  return f;
}

const WindowStep kRaiseLineage{{200, 250, 300}};

TEST(JumpPlan, PicksTheMostPreciseWaysFirst) {
  struct Case {
    const char* name;
    std::function<void(Facts&)> change;
    std::vector<Step> steps;
  };
  const TmuxStep tmux{{"/usr/bin/tmux", "-S", "/tmp/t,1/s"}, "/dev/pts/4"};
  const CommandStep kitty{
      "kitty",
      {{"/usr/bin/kitty", "@", "--to", "unix:/tmp/k", "focus-window", "--match", "id:7"}, {}},
      {200, 250, 300}};
  const CommandStep code{"code", {{"/usr/bin/code", "--reuse-window", "/home/u/project"}, {}}, {}};
  const CommandStep cursor{
      "cursor", {{"/usr/bin/cursor", "--reuse-window", "/home/u/project"}, {}}, {}};
  const Case cases[] = {
      {"plain terminal", [](Facts&) {}, {kRaiseLineage}},
      {"tmux pane", [](Facts& f) { f.env["TMUX"] = "/tmp/t,1/s,4242,0"; }, {tmux, kRaiseLineage}},
      {"tmux pane whose tty is gone",
       [](Facts& f) {
         f.env["TMUX"] = "/tmp/t,1/s,4242,0";
         f.ttyExists = false;
       },
       {kRaiseLineage}},
      {"tmux not on PATH",
       [](Facts& f) {
         f.env["TMUX"] = "/tmp/t,1/s,4242,0";
         f.programs.erase("tmux");
       },
       {kRaiseLineage}},
      {"kitty with remote control",
       [](Facts& f) {
         f.env["KITTY_LISTEN_ON"] = "unix:/tmp/k";
         f.env["KITTY_WINDOW_ID"] = "7";
       },
       {kitty, kRaiseLineage}},
      {"kitty without remote control",
       [](Facts& f) { f.env["KITTY_WINDOW_ID"] = "7"; },
       {kRaiseLineage}},
      {"wezterm pane",
       [](Facts& f) {
         f.env["WEZTERM_PANE"] = "3";
         f.env["WEZTERM_UNIX_SOCKET"] = "/run/w";
       },
       {CommandStep{"wezterm",
                    {{"/usr/bin/wezterm", "cli", "activate-pane", "--pane-id", "3"},
                     {"WEZTERM_UNIX_SOCKET=/run/w"}},
                    {200, 250, 300}},
        kRaiseLineage}},
      {"VS Code's terminal opens the folder first",
       [](Facts& f) { f.hostExe = "/usr/share/code/code"; },
       {code, kRaiseLineage}},
      {"VS Code without a folder",
       [](Facts& f) {
         f.hostExe = "/usr/share/code/code";
         f.root.clear();
       },
       {kRaiseLineage}},
      {"a folder that is no absolute path is never passed to the editor",
       [](Facts& f) {
         f.hostExe = "/usr/share/code/code";
         f.root = "--install-extension=evil";
       },
       {kRaiseLineage}},
      {"Cursor's agent ignores tty and tmux",
       [](Facts& f) {
         f.agent = "cursor";
         f.env["TMUX"] = "/tmp/t,1/s,4242,0";
       },
       {cursor, kRaiseLineage}},
      {"Wayland keeps tmux and drops X11 windows",
       [](Facts& f) {
         f.wayland = true;
         f.env["TMUX"] = "/tmp/t,1/s,4242,0";
         f.env["KITTY_LISTEN_ON"] = "unix:/tmp/k";
         f.env["KITTY_WINDOW_ID"] = "7";
       },
       {tmux, CommandStep{kitty.what, kitty.command, {}}}},
  };
  for (const auto& c : cases) {
    Facts f = terminalSession();
    c.change(f);
    Plan p = plan(f);
    EXPECT_EQ(p.steps, c.steps) << c.name;
    EXPECT_EQ(p.nothing, "") << c.name;
  }
}

TEST(JumpPlan, SaysWhyNothingApplies) {
  const std::pair<std::function<void(Facts&)>, std::string> cases[] = {
      {[](Facts& f) { f.lineage.clear(); }, "the session's host has exited"},
      {[](Facts& f) { f.wayland = true; },
       "this Wayland desktop offers no way to raise another window"},
      {[](Facts& f) { f.x11 = false; }, "no display to raise a window on"},
      {[](Facts& f) {
         f.agent = "cursor";
         f.programs.erase("cursor");
         f.x11 = false;
       },
       "cursor is not on PATH"},
      {[](Facts& f) {
         f.hostPid.reset();
         f.agentPid.reset();
         f.tty.reset();
         f.lineage.clear();
       },
       "no host is known"},
  };
  for (const auto& [change, why] : cases) {
    Facts f = terminalSession();
    change(f);
    Plan p = plan(f);
    EXPECT_TRUE(p.steps.empty()) << why;
    EXPECT_EQ(p.nothing, why);
  }
}

TEST(JumpPlan, FindsTheTmuxServer) {
  const std::pair<std::function<void(Facts&)>, std::string> cases[] = {
      {[](Facts& f) { f.env["TMUX"] = "/tmp/a,b/sock,77,3"; }, "/tmp/a,b/sock"},
      {[](Facts& f) {
         f.hostArgs = {"tmux", "-S", "/run/t.sock", "new"};
       },
       "/run/t.sock"},
      {[](Facts& f) {
         f.hostArgs = {"tmux", "-L", "work"};
       },
       "/tmp/tmux-1000/work"},
      {[](Facts& f) { f.env["TMUX"] = "garbage"; }, "/tmp/tmux-1000/default"},
      {[](Facts&) {}, "/tmp/tmux-1000/default"},
  };
  for (const auto& [change, socket] : cases) {
    Facts f = terminalSession();
    change(f);
    EXPECT_EQ(tmuxSocket(f), socket);
  }
}

TEST(JumpPlan, EditorsByExecutableOrAgent) {
  EXPECT_EQ(editorFor("claude", "/opt/Cursor/resources/app/cursor"), "cursor");
  EXPECT_EQ(editorFor("claude", "/usr/share/codium/codium"), "codium");
  EXPECT_EQ(editorFor("windsurf", std::nullopt), "windsurf");
  EXPECT_EQ(editorFor("gemini", "/usr/bin/zed-editor"), "zed");
  EXPECT_EQ(editorFor("claude", "/usr/bin/xterm"), std::nullopt);
  EXPECT_EQ(editorFor("claude", std::nullopt), std::nullopt);
}

TEST(JumpTmuxLists, ParseAndChooseTheClient) {
  auto panes = parsePanes(
      "/dev/pts/1\t$0\t@0\t%0\n"
      "broken line\n"
      "/dev/pts/2\t$1\t@3\t%5\r\n"
      "\t$1\t@3\t%6\n");
  ASSERT_EQ(panes.size(), 2u);
  EXPECT_EQ(panes[1].tty, "/dev/pts/2");
  EXPECT_EQ(panes[1].window, "@3");
  EXPECT_EQ(panes[1].pane, "%5");

  auto clients = parseClients("/dev/pts/9\t900\t$0\n/dev/pts/8\tx\t$1\n/dev/pts/7\t700\t$1\n");
  ASSERT_EQ(clients.size(), 2u);
  EXPECT_EQ(tmuxClientFor(clients, panes[1])->pid, 700);
  EXPECT_EQ(tmuxClientFor({clients[0]}, panes[1])->pid, 900);
  EXPECT_EQ(tmuxClientFor({}, panes[1]), std::nullopt);

  EXPECT_EQ(
      tmuxSelect(panes[1], clients[1]),
      (std::vector<std::string>{"select-window", "-t", "@3", ";", "select-pane", "-t", "%5"}));
  EXPECT_EQ(
      tmuxSelect(panes[1], clients[0]),
      (std::vector<std::string>{"switch-client", "-c", "/dev/pts/9", "-t", "$1", ";",
                                "select-window", "-t", "@3", ";", "select-pane", "-t", "%5"}));
}

// Commands answer from a script in order; windows are raised by a fake; reads off the loop wait
// for settle().
struct FakeOutside {
  struct Windows : WindowActivator {
    std::vector<std::vector<int>> asked;
    std::optional<std::string> answer;
    std::optional<std::string> activate(const std::vector<int>& pids) override {
      asked.push_back(pids);
      return answer;
    }
  };

  Outside outside() {
    Outside o;
    o.run = [this](const Command& c, double, std::function<void(std::optional<std::string>)> d) {
      commands.push_back(c.argv);
      auto out = replies.empty() ? std::nullopt : replies.front();
      if (!replies.empty()) replies.pop_front();
      d(out);
    };
    o.windows = windows;
    o.lineage = [this](int pid) {
      lineageOf.push_back(pid);
      return std::vector<int>{pid, 1000};
    };
    o.log = [this](const std::string& line) { logged.push_back(line); };
    o.observe = [](const Recorded&) { return terminalSession(); };
    o.reads = [this](std::function<void()> job) { reads.push_back(std::move(job)); };
    return o;
  }

  // Runs the reads waiting for a worker, then what they post back to the loop.
  void settle() {
    while (!reads.empty()) {
      auto read = std::move(reads.front());
      reads.pop_front();
      read();
    }
    loop.runPending();
  }

  ManualLoop loop;
  std::deque<std::function<void()>> reads;
  std::vector<int> lineageOf;

  std::deque<std::optional<std::string>> replies;
  std::vector<std::vector<std::string>> commands;
  std::shared_ptr<Windows> windows = std::make_shared<Windows>();
  // How each jump ended: "" when something came forward, else why not.
  Done recordEnd() {
    return [this](std::optional<std::string> why) { ended.push_back(why.value_or("")); };
  }

  std::vector<std::string> logged;
  std::vector<std::string> ended;
};

TEST(JumpRunner, SelectsTheTmuxPaneAndRaisesItsClientsTerminal) {
  FakeOutside fake;
  fake.replies = {"/dev/pts/1\t$0\t@0\t%0\n/dev/pts/4\t$0\t@2\t%3\n", "/dev/pts/9\t900\t$0\n", ""};
  Facts f = terminalSession();
  f.env["TMUX"] = "/tmp/s,1,0";
  {
    Runner runner(fake.outside(), fake.loop);
    runner.go(f, fake.recordEnd());
    runner.go(Recorded{}, fake.recordEnd());
  }
  // The client's terminal is looked up in /proc off the loop and raised back on it, although
  // the runner is gone; the jump still waiting for its facts went with the runner.
  EXPECT_TRUE(fake.lineageOf.empty());
  EXPECT_TRUE(fake.ended.empty());
  fake.settle();
  EXPECT_EQ(fake.lineageOf, std::vector<int>{900});
  EXPECT_EQ(fake.ended, std::vector<std::string>{""});
  ASSERT_EQ(fake.commands.size(), 3u);
  EXPECT_EQ(fake.commands[2],
            (std::vector<std::string>{"/usr/bin/tmux", "-S", "/tmp/s", "select-window", "-t", "@2",
                                      ";", "select-pane", "-t", "%3"}));
  EXPECT_EQ(fake.windows->asked, (std::vector<std::vector<int>>{{900, 1000}}));
  EXPECT_TRUE(fake.logged.empty());
}

TEST(JumpRunner, FallsThroughFailuresAndLogsOnceWhenAllFail) {
  FakeOutside fake;
  fake.replies = {"/dev/pts/1\t$0\t@0\t%0\n"};  // tmux knows no pane on the session's tty
  fake.windows->answer = "no window belongs to the session's processes";
  Runner runner(fake.outside());
  Facts f = terminalSession();
  f.env["TMUX"] = "/tmp/s,1,0";
  runner.go(f, fake.recordEnd());
  EXPECT_EQ(fake.windows->asked, (std::vector<std::vector<int>>{{200, 250, 300}}));
  EXPECT_EQ(
      fake.logged,
      (std::vector<std::string>{"Talvane jump: no window belongs to the session's processes"}));

  // The same session's terminal has a window: raised, nothing logged.
  fake.logged.clear();
  fake.windows->answer.reset();
  fake.replies = {std::nullopt};  // the tmux server is gone
  runner.go(f, fake.recordEnd());
  EXPECT_EQ(fake.windows->asked.size(), 2u);
  EXPECT_TRUE(fake.logged.empty());
  EXPECT_EQ(fake.ended,
            (std::vector<std::string>{"no window belongs to the session's processes", ""}));
}

TEST(JumpRunner, WaylandWithNothingToDoLogsOnlyOnce) {
  FakeOutside fake;
  Runner runner(fake.outside());
  Facts f = terminalSession();
  f.wayland = true;
  runner.go(f, fake.recordEnd());
  runner.go(f, fake.recordEnd());
  EXPECT_EQ(fake.logged.size(), 1u);
  // Whoever asked still hears why, every time.
  ASSERT_EQ(fake.ended.size(), 2u);
  EXPECT_FALSE(fake.ended[1].empty());
  EXPECT_TRUE(fake.commands.empty());
}

// Reading /proc and PATH happens on a worker: the loop keeps turning meanwhile, and the plan runs
// on the loop once the facts (or a remote session's plan) come back.
TEST(JumpRunner, ObservesOffTheLoop) {
  FakeOutside fake;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> freedByLoop = 0;
  auto wait = [&] {
    if (released.wait_for(std::chrono::seconds(10)) == std::future_status::ready) ++freedByLoop;
  };
  Outside outside = fake.outside();
  outside.reads = nullptr;  // a real worker
  outside.observe = [&](const Recorded& r) {
    wait();
    Facts f = terminalSession();
    f.root = r.root;
    return f;
  };
  outside.observeRemote = [&](const RemoteTarget& t) {
    wait();
    Plan p;
    p.steps.push_back(WindowStep{{static_cast<int>(t.destination.size())}});
    return p;
  };
  outside.launch = [](const Command&) { return std::optional<std::string>(); };
  Runner runner(std::move(outside));
  Recorded session;
  session.root = "/home/u/project";
  runner.go(session, fake.recordEnd());
  runner.go(RemoteTarget{"dev@box", std::nullopt, ""}, fake.recordEnd());
  EXPECT_TRUE(fake.ended.empty());
  TimerHandle tick = defaultLoop().after(0.01, [&] { release.set_value(); });
  ASSERT_TRUE(testing::runUntil([&] { return fake.ended.size() == 2; }));
  EXPECT_EQ(freedByLoop, 2);
  EXPECT_EQ(fake.ended, (std::vector<std::string>{"", ""}));
  EXPECT_EQ(fake.windows->asked, (std::vector<std::vector<int>>{{200, 250, 300}, {7}}));
}

}  // namespace
}  // namespace talvane

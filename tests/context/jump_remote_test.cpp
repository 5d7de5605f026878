// Jumping to a session on another machine: the terminal, the ssh command and the line the remote
// shell runs.
#include "context/jump_remote.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "context/jump_runner.h"
#include "remote/destination.h"
#include "support/test_home.h"

namespace talvane::Jump {
namespace {

using Words = std::vector<std::string>;

const TerminalFacts kXterm{std::nullopt, {{"xterm", "/usr/bin/xterm"}}};

Words sshTo(const std::string& line) {
  return {remote::sshProgram(),
          "-o",
          "BatchMode=yes",
          "-o",
          "ConnectTimeout=15",
          "-t",
          "-p",
          "2222",
          "--",
          "me@devbox",
          line};
}

TEST(JumpRemote, IntoThePaneElseTheFolder) {
  RemoteTarget target{"me@devbox:2222", "%4", "/home/me/project"};
  const std::string folder = "cd -- '/home/me/project'; exec \"$SHELL\" -l";
  const std::string pane =
      "tmux select-window -t '%4' ';' select-pane -t '%4' ';' attach-session -t '%4' || { " +
      folder + "; }";
  EXPECT_EQ(remoteShellLine(target), pane);

  Plan p = remotePlan(target, kXterm);
  ASSERT_EQ(p.steps.size(), 1u);
  Words expected{"/usr/bin/xterm", "-e"};
  for (const std::string& word : sshTo(pane)) expected.push_back(word);
  EXPECT_EQ(std::get<LaunchStep>(p.steps[0]).command.argv, expected);

  // Without a pane, or with something from the remote that is no pane id: the folder.
  for (std::optional<std::string> none :
       {std::optional<std::string>(), std::optional<std::string>("%4; rm -rf ~"),
        std::optional<std::string>("%")}) {
    target.tmuxPane = none;
    EXPECT_EQ(remoteShellLine(target), folder);
  }
  target.cwd.clear();
  EXPECT_EQ(remoteShellLine(target), "exec \"$SHELL\" -l");
}

// The line runs in the remote user's shell: a folder name full of shell syntax must arrive as
// that folder, and nothing in it may run.
TEST(JumpRemote, AHostileFolderNameIsOnlyAName) {
  testing::TempDir dir;
  const std::string hostile = dir.path() + "/a b'$(touch pwned)`touch pwned2`;\"x\\ -e";
  std::filesystem::create_directories(hostile);
  const std::string shell = dir.path() + "/shell";
  std::ofstream(shell) << "#!/bin/sh\npwd\n";
  ::chmod(shell.c_str(), 0755);

  const std::string line = remoteShellLine({"devbox", std::nullopt, hostile});
  gchar* out = nullptr;
  gint status = -1;
  const std::string env = "SHELL=" + shell;
  const char* argv[] = {"/bin/sh", "-c", line.c_str(), nullptr};
  const char* envp[] = {env.c_str(), "PATH=/usr/bin:/bin", nullptr};
  ASSERT_TRUE(g_spawn_sync(dir.path().c_str(), const_cast<char**>(argv), const_cast<char**>(envp),
                           G_SPAWN_STDERR_TO_DEV_NULL, nullptr, nullptr, &out, nullptr, &status,
                           nullptr));
  const std::string printed = out ? out : "";
  g_free(out);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(printed, hostile + "\n");
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/pwned"));
  EXPECT_FALSE(std::filesystem::exists(hostile + "/pwned"));
  EXPECT_FALSE(std::filesystem::exists(hostile + "/pwned2"));
}

TEST(JumpRemote, TerminalChoiceAndHowEachRunsACommand) {
  const std::map<std::string, std::string> all{
      {"x-terminal-emulator", "/usr/bin/x-terminal-emulator"},
      {"gnome-terminal", "/usr/bin/gnome-terminal"},
      {"xterm", "/usr/bin/xterm"}};
  struct Case {
    const char* what;
    TerminalFacts facts;
    std::optional<std::string> chosen;
  };
  const Case cases[] = {
      {"$TERMINAL first", {"/opt/bin/myterm", all}, "/opt/bin/myterm"},
      {"then x-terminal-emulator", {std::nullopt, all}, "/usr/bin/x-terminal-emulator"},
      {"then the list in order",
       {std::nullopt, {{"xterm", "/usr/bin/xterm"}, {"konsole", "/usr/bin/konsole"}}},
       "/usr/bin/konsole"},
      {"programs outside the list are no terminals",
       {std::nullopt, {{"tmux", "/usr/bin/tmux"}}},
       std::nullopt},
      {"nothing", {}, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(chooseTerminal(c.facts), c.chosen) << c.what;

  const Words run{"ssh", "-o", "X=y", "--", "devbox"};
  const std::pair<const char*, Words> options[] = {
      {"/usr/bin/gnome-terminal", {"--"}},
      {"/usr/bin/konsole", {"-e"}},
      {"/usr/bin/xfce4-terminal", {"-x"}},
      {"/usr/bin/foot", {"--"}},
      {"/usr/bin/alacritty", {"-e"}},
      {"/usr/bin/kitty", {}},
      {"/usr/bin/xterm", {"-e"}},
      {"/usr/bin/x-terminal-emulator", {"-e"}},
      {"/usr/bin/wezterm", {"start", "--"}},
      {"/opt/bin/myterm", {"-e"}},
  };
  for (const auto& [path, words] : options) {
    Words expected{path};
    expected.insert(expected.end(), words.begin(), words.end());
    expected.insert(expected.end(), run.begin(), run.end());
    EXPECT_EQ(terminalCommand(path, run).argv, expected) << path;
  }
}

TEST(JumpRemote, SaysWhyNothingOpensAndTheRunnerLaunchesWithoutWaiting) {
  EXPECT_EQ(remotePlan({"me@devbox", std::nullopt, "/"}, {}).nothing,
            "no terminal found to open the ssh session in (set $TERMINAL)");
  Plan unreadable = remotePlan({"-oProxyCommand=x", std::nullopt, "/"}, kXterm);
  EXPECT_TRUE(unreadable.steps.empty());
  EXPECT_NE(unreadable.nothing.find("-oProxyCommand=x"), std::string::npos);

  std::vector<Words> launched;
  std::optional<std::string> launchFails;
  std::vector<std::string> ended;
  Outside outside;
  outside.run = [](const Command&, double, std::function<void(std::optional<std::string>)>) {
    ADD_FAILURE() << "a terminal must not be waited for";
  };
  outside.launch = [&](const Command& c) {
    launched.push_back(c.argv);
    return launchFails;
  };
  outside.log = [](const std::string&) {};
  Runner runner(std::move(outside));
  const auto end = [&](std::optional<std::string> why) { ended.push_back(why.value_or("")); };
  runner.go(remotePlan({"devbox", "%1", "/srv"}, kXterm), end);
  launchFails = "No such file or directory";
  runner.go(remotePlan({"devbox", "%1", "/srv"}, kXterm), end);
  ASSERT_EQ(launched.size(), 2u);
  EXPECT_EQ(launched[0].front(), "/usr/bin/xterm");
  EXPECT_EQ(ended, (std::vector<std::string>{"", "xterm: No such file or directory"}));
}

}  // namespace
}  // namespace talvane::Jump

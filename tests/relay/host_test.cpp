// Ancestry and host detection on made-up process trees, and the /proc reader on this process.
#include "relay/host.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "relay/process_table.h"

namespace talvane {
namespace {

class FakeProcessTable : public ProcessTable {
 public:
  FakeProcessTable& add(pid_t pid, pid_t ppid, std::string path,
                        std::optional<std::string> tty = std::nullopt) {
    processes_[pid] = ProcessInfo{ppid, std::move(path), std::move(tty)};
    return *this;
  }
  std::optional<ProcessInfo> read(pid_t pid) const override {
    ++reads;
    auto it = processes_.find(pid);
    if (it == processes_.end()) return std::nullopt;
    return it->second;
  }
  mutable int reads = 0;

 private:
  std::map<pid_t, ProcessInfo> processes_;
};

std::vector<pid_t> pids(const std::vector<Ancestor>& chain) {
  std::vector<pid_t> out;
  for (const Ancestor& a : chain) out.push_back(a.pid);
  return out;
}

const std::string kPts = "/dev/pts/4";

TEST(Ancestors, NearestFirstStoppingBeforeInitOrAtAnUnreadableProcess) {
  FakeProcessTable table;
  table.add(40, 30, "/usr/bin/sh", kPts).add(30, 20, "/usr/bin/node").add(20, 1, "/sbin/tmux");
  std::vector<Ancestor> chain = ancestors(table, 40);
  EXPECT_EQ(pids(chain), (std::vector<pid_t>{40, 30, 20}));
  EXPECT_EQ(chain[0].path, "/usr/bin/sh");
  EXPECT_EQ(chain[0].tty, kPts);
  EXPECT_FALSE(chain[1].tty);

  table.add(20, 15, "/sbin/tmux");  // 15 cannot be read
  EXPECT_EQ(pids(ancestors(table, 40)), (std::vector<pid_t>{40, 30, 20}));
  EXPECT_TRUE(ancestors(table, 1).empty());
  EXPECT_TRUE(ancestors(table, 0).empty());
  EXPECT_TRUE(ancestors(table, 99).empty());
}

TEST(Ancestors, AtMost24EvenThroughALoop) {
  FakeProcessTable deep;
  for (pid_t p = 2; p < 100; ++p) deep.add(p, p - 1, "/bin/p" + std::to_string(p));
  std::vector<Ancestor> chain = ancestors(deep, 99);
  ASSERT_EQ(chain.size(), kMaxAncestors);
  EXPECT_EQ(chain.front().pid, 99);
  EXPECT_EQ(chain.back().pid, 76);
  EXPECT_EQ(deep.reads, 24);

  FakeProcessTable loop;
  loop.add(7, 8, "/a").add(8, 7, "/b");
  EXPECT_EQ(ancestors(loop, 7).size(), kMaxAncestors);
}

TEST(HostRules, AgentBinaries) {
  EXPECT_TRUE(isAgentBinary("/usr/lib/node_modules/@anthropic-ai/claude-code/cli.js"));
  EXPECT_TRUE(isAgentBinary("/opt/vm/claude-code-vm/bin/run"));
  EXPECT_TRUE(isAgentBinary("/home/u/.local/bin/claude"));
  EXPECT_FALSE(isAgentBinary("/usr/bin/claude-desktop"));
  EXPECT_FALSE(isAgentBinary("/home/u/.local/bin/claude/x"));
  EXPECT_FALSE(isAgentBinary("claude"));

  for (const char* path :
       {"/usr/bin/python3.12", "/usr/bin/python3", "/usr/local/bin/node", "/home/u/.bun/bin/bun",
        "/usr/bin/bash", "/usr/bin/fish", "/bin/sh", "/usr/bin/sudo", "/usr/sbin/sshd",
        "/usr/lib/systemd/systemd", "/home/u/.local/share/claude/versions/2.0.14",
        "/usr/bin/cursor-agent"}) {
    EXPECT_TRUE(isPassThrough(path)) << path;
  }
  for (const char* path :
       {"/usr/bin/tmux", "/usr/bin/screen", "/usr/bin/kitty", "/usr/share/code/code",
        "/usr/bin/pythonista", "/usr/bin/python-x", "/usr/bin/shx"}) {
    EXPECT_FALSE(isPassThrough(path)) << path;
  }
}

// Chains are listed nearest first, starting at the relay's parent.
TEST(HostFacts, TerminalEmulator) {
  std::vector<Ancestor> chain = {{500, "/usr/bin/dash", kPts},
                                 {490, "/home/u/.local/share/claude/versions/2.0.14", kPts},
                                 {480, "/usr/bin/bash", kPts},
                                 {470, "/usr/libexec/gnome-terminal-server", std::nullopt},
                                 {460, "/usr/lib/systemd/systemd", std::nullopt}};
  HostFacts facts = hostFacts(chain);
  EXPECT_EQ(facts.tty, kPts);
  EXPECT_EQ(facts.pid, 470);
  EXPECT_EQ(facts.bundle, "/usr/libexec/gnome-terminal-server");
  EXPECT_EQ(facts.agentPid, 490);
}

TEST(HostFacts, MultiplexerServerIsTheHost) {
  std::vector<Ancestor> chain = {{50, "/bin/sh", "/dev/pts/9"},
                                 {49, "/usr/bin/node", "/dev/pts/9"},
                                 {48, "/usr/bin/zsh", "/dev/pts/9"},
                                 {47, "/usr/bin/tmux", std::nullopt}};
  HostFacts facts = hostFacts(chain);
  EXPECT_EQ(facts.pid, 47);
  EXPECT_EQ(facts.bundle, "/usr/bin/tmux");
  EXPECT_EQ(facts.tty, "/dev/pts/9");
}

TEST(HostFacts, AnonymousMemoryExecutablesAreNeverTheHost) {
  // A sandbox launcher running from a memfd, then the real terminal.
  std::vector<Ancestor> chain = {{70, "/usr/bin/node", std::nullopt},
                                 {69, "/memfd:sandbox-launcher", std::nullopt},
                                 {68, "relative/odd", std::nullopt},
                                 {67, "/usr/bin/kitty", std::nullopt}};
  EXPECT_EQ(hostFacts(chain).pid, 67);
  EXPECT_EQ(hostFacts(chain).bundle, "/usr/bin/kitty");
  chain.pop_back();
  EXPECT_FALSE(hostFacts(chain).bundle);
}

TEST(HostFacts, NearestOfNestedHosts) {
  // A terminal started from an editor: the terminal hosts the session.
  std::vector<Ancestor> chain = {{90, "/bin/sh", kPts},
                                 {89, "/usr/bin/node", kPts},
                                 {88, "/usr/bin/bash", kPts},
                                 {87, "/usr/bin/tilix", std::nullopt},
                                 {86, "/usr/share/code/code", std::nullopt}};
  EXPECT_EQ(hostFacts(chain).pid, 87);
  EXPECT_EQ(hostFacts(chain).bundle, "/usr/bin/tilix");
}

TEST(HostFacts, AgentInsideTheHostsFolderIsSkipped) {
  // An editor runs the agent without a terminal, from inside its own folders.
  std::vector<Ancestor> chain = {
      {70, "/bin/sh", std::nullopt},
      {69, "/home/u/.cursor/extensions/anthropic.claude-code-2.0/resources/native-binary/claude",
       std::nullopt},
      {68, "/usr/share/cursor/resources/app/claude-code/cli", std::nullopt},
      {67, "/usr/share/cursor/cursor", std::nullopt}};
  HostFacts facts = hostFacts(chain);
  EXPECT_EQ(facts.pid, 67);
  EXPECT_EQ(facts.bundle, "/usr/share/cursor/cursor");
  EXPECT_FALSE(facts.tty);
  EXPECT_EQ(facts.agentPid, 69);
}

TEST(HostFacts, NoHostThroughShellsPrivilegeSwitchesAndRemoteLogins) {
  std::vector<Ancestor> chain = {{9, "/bin/sh", std::nullopt},
                                 {8, "/usr/bin/python3.11", std::nullopt},
                                 {7, "/usr/bin/deno", std::nullopt},
                                 {6, "", std::nullopt},  // unreadable: another user's process
                                 {5, "/usr/bin/sudo", std::nullopt},
                                 {4, "/usr/bin/bash", "/dev/pts/0"},
                                 {3, "/usr/sbin/sshd", std::nullopt},
                                 {2, "/usr/lib/systemd/systemd", std::nullopt}};
  HostFacts facts = hostFacts(chain);
  EXPECT_FALSE(facts.pid);
  EXPECT_FALSE(facts.bundle);
  EXPECT_EQ(facts.tty, "/dev/pts/0");
  // A program running in a terminal is no host either.
  EXPECT_FALSE(findHost({{9, "/bin/sh", kPts}, {8, "/usr/bin/htop", kPts}}));
}

TEST(HostFacts, BundlePaths) {
  // Nested bundles: the outermost one, even for an entry that has a terminal.
  std::vector<Ancestor> chain = {
      {30, "/bin/zsh", "/dev/ttys003"},
      {29,
       "/Applications/Visual Studio Code.app/Contents/Frameworks/Code Helper (Plugin).app/"
       "Contents/MacOS/Code Helper (Plugin)",
       "/dev/ttys003"},
      {28, "/Applications/Visual Studio Code.app/Contents/MacOS/Electron", std::nullopt}};
  HostFacts facts = hostFacts(chain);
  EXPECT_EQ(facts.pid, 29);
  EXPECT_EQ(facts.bundle, "/Applications/Visual Studio Code.app");

  // The agent shipped inside a desktop application is skipped for that application.
  chain = {{20, "/bin/sh", std::nullopt},
           {19, "/Applications/Claude.app/Contents/Resources/claude-code/claude", std::nullopt},
           {18, "/Applications/Claude.app/Contents/Helpers/claude", std::nullopt},
           {17, "/Applications/Claude.app/Contents/MacOS/Claude", std::nullopt}};
  facts = hostFacts(chain);
  EXPECT_EQ(facts.pid, 17);
  EXPECT_EQ(facts.bundle, "/Applications/Claude.app");
}

TEST(HostFacts, ShortChains) {
  EXPECT_EQ(hostFacts({}).pid, std::nullopt);
  EXPECT_EQ(hostFacts({}).agentPid, std::nullopt);
  HostFacts one = hostFacts({{12, "/usr/bin/alacritty", std::nullopt}});
  EXPECT_EQ(one.pid, 12);
  EXPECT_FALSE(one.tty);
}

struct AgentCase {
  const char* what;
  std::vector<Ancestor> chain;
  std::optional<pid_t> agent;
};

// The agent is the nearest ancestor that is not a shell or wrapper the hook command ran in, so
// that it is the process whose life decides the session's.
TEST(HostFacts, AgentIsTheFirstAncestorAboveTheHooksShells) {
  const std::string claude = "/home/u/.local/share/claude/versions/2.0.14";
  const AgentCase cases[] = {
      {"dash keeps both shells of sh -c '...'",
       {{9, "/usr/bin/dash", kPts},
        {8, "/usr/bin/dash", kPts},
        {7, claude, kPts},
        {6, "/usr/bin/bash", kPts},
        {5, "/usr/bin/kitty", std::nullopt}},
       7},
      {"bash execs the outer shell",
       {{9, "/usr/bin/bash", kPts}, {7, "/usr/bin/node", kPts}, {6, "/usr/bin/zsh", kPts}},
       7},
      {"wrappers around the relay",
       {{9, "/usr/bin/timeout", std::nullopt},
        {8, "/usr/bin/env", std::nullopt},
        {7, "/bin/sh", std::nullopt},
        {6, "/usr/share/cursor/cursor", std::nullopt}},
       6},
      {"run by the agent directly", {{7, "/usr/bin/node", kPts}, {6, "/usr/bin/bash", kPts}}, 7},
      {"an unreadable parent is taken as it is",
       {{9, "/bin/sh", std::nullopt}, {8, "", std::nullopt}},
       8},
      {"nothing but shells", {{9, "/bin/sh", kPts}, {8, "/bin/bash", kPts}}, std::nullopt},
      {"no ancestry", {}, std::nullopt},
  };
  for (const AgentCase& c : cases) {
    EXPECT_EQ(hostFacts(c.chain).agentPid, c.agent) << c.what;
  }
}

TEST(ProcStat, ParsesAroundAwkwardCommandNames) {
  std::optional<StatFields> f =
      parseStat("1234 (my (odd) cmd) S 99 1234 1234 34817 1234 4194560 113 0 0 0\n");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->ppid, 99);
  EXPECT_EQ(ttyPath(f->ttyNr), "/dev/pts/1");

  // tty_nr is printed signed; a pseudo-terminal with a large number comes out negative.
  f = parseStat("5 (x) S 4 5 5 -1838118720 5 0");
  ASSERT_TRUE(f);
  EXPECT_EQ(ttyPath(f->ttyNr), "/dev/pts/600000");

  EXPECT_FALSE(parseStat(""));
  EXPECT_FALSE(parseStat("12 (cut"));
  EXPECT_FALSE(parseStat("12 (x) S"));
  EXPECT_FALSE(parseStat("12 (x) S abc 1 1 0"));
}

TEST(ProcStat, TerminalNames) {
  auto dev = [](unsigned major, unsigned minor) {
    return static_cast<unsigned long>((minor & 0xff) | (major << 8) | ((minor & ~0xffu) << 12));
  };
  EXPECT_FALSE(ttyPath(0));
  EXPECT_EQ(ttyPath(dev(136, 3)), "/dev/pts/3");
  EXPECT_EQ(ttyPath(dev(136, 4000)), "/dev/pts/4000");
  EXPECT_EQ(ttyPath(dev(137, 5)), "/dev/pts/261");
  EXPECT_EQ(ttyPath(dev(143, 255)), "/dev/pts/2047");
  EXPECT_EQ(ttyPath(dev(4, 2)), "/dev/tty2");
  EXPECT_EQ(ttyPath(dev(4, 65)), "/dev/ttyS1");
  EXPECT_EQ(ttyPath(dev(5, 1)), "/dev/console");
  EXPECT_FALSE(ttyPath(dev(188, 0)));
  EXPECT_FALSE(ttyPath(dev(144, 0)));
}

TEST(ProcTable, ReadsThisProcess) {
  ProcTable table;
  std::optional<ProcessInfo> self = table.read(getpid());
  ASSERT_TRUE(self);
  EXPECT_EQ(self->ppid, getppid());
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
  ASSERT_GT(n, 0);
  EXPECT_EQ(self->path, std::string(exe, static_cast<std::size_t>(n)));
  EXPECT_FALSE(table.read(0x3ffffff0));

  std::vector<Ancestor> chain = ancestors(table, getpid());
  ASSERT_FALSE(chain.empty());
  EXPECT_EQ(chain[0].pid, getpid());
  if (chain.size() > 1) {
    EXPECT_EQ(chain[1].pid, getppid());
  }
}

}  // namespace
}  // namespace talvane

// The remote file system gives the installers the same answers as this machine's: each case runs
// an installer once locally and once through shell commands (run here with /bin/sh, as ssh would
// run them there), and both must end the same, refusals word for word.
#include "remote/remote_file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>

#include "integrations/config_file.h"
#include "integrations/hook_installer.h"
#include "integrations/integration.h"
#include "local_shell_runner.h"
#include "platform/files.h"
#include "remote/remote_setup.h"
#include "support/test_home.h"

namespace talvane::remote {
namespace {

using testing::LocalShellRunner;
using testing::TestHome;

struct Outcome {
  std::string error;                         // the installer's message, or empty
  std::map<std::string, std::string> files;  // relative path -> "mode link bytes"
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  out << "error: " << o.error << "\n";
  for (const auto& [path, state] : o.files) out << path << ": " << state << "\n";
  return out;
}

// The mode, a link's target (the home shown as "~") and the bytes.
std::string stateOf(const std::string& home, const std::string& relative) {
  const std::string path = home + relative;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return "missing";
  std::string state = std::to_string(st.st_mode & 07777);
  if (S_ISLNK(st.st_mode)) {
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    std::string to(target, n > 0 ? static_cast<size_t>(n) : 0);
    if (to.starts_with(home)) to = "~" + to.substr(home.size());
    state += " -> " + to;
  }
  return state + " " + files::read(path).value_or("<unreadable>");
}

struct Case {
  const char* name;
  std::function<void(const TestHome&)> seed;
  std::function<void(FileSystem&)> act;
  std::vector<std::string> watched;  // below the home
};

Outcome runCase(const Case& c, bool remote) {
  TestHome home;
  c.seed(home);
  Outcome outcome;
  LocalShellRunner runner(home.path());
  {
    SshSession session(*Destination::parse("devbox"), runner);
    RemoteFileSystem remoteFs(session, home.path(), home.path() + "/.config");
    FileSystem& fs = remote ? static_cast<FileSystem&>(remoteFs) : FileSystem::local();
    try {
      c.act(fs);
    } catch (const std::exception& e) {
      outcome.error = e.what();
    }
  }
  for (const std::string& path : c.watched) outcome.files[path] = stateOf(home.path(), path);
  if (remote) {
    EXPECT_GT(runner.commands, 0) << c.name;
  }
  return outcome;
}

class RemoteFileSystemTest : public ::testing::Test {
 protected:
  RemoteFileSystemTest() {
    HookInstaller::setRelaySource(relayHome_.write("talvane-hook", "#!/bin/sh\nexit 0\n"));
  }
  ~RemoteFileSystemTest() override { HookInstaller::setRelaySource(std::nullopt); }
  TestHome relayHome_;
};

TEST_F(RemoteFileSystemTest, InstallersEndAsTheyDoLocally) {
  const std::string settings = "/.claude/settings.json";
  const std::string claudeBackup = settings + ".talvane-backup";
  const std::string mine = "// mine\n{\n  \"model\": \"opus\", /* keep */\n  \"hooks\": {}\n}\n";
  auto claude = [](FileSystem& fs) { HookInstaller::installOn(fs); };
  auto geminiRoundTrip = [](FileSystem& fs) {
    Integration(Integration::gemini).install(fs);
    Integration(Integration::gemini).uninstall(fs);
  };
  const Case cases[] = {
      {"a new file, the relay and its folder",
       [](const TestHome& h) { files::makeDirs(h.path() + "/.claude"); },
       claude,
       {settings, "/.talvane/bin/talvane-hook"}},
      {"comments and layout kept, the old text in the backup",
       [&](const TestHome& h) { h.write(settings.substr(1), mine); },
       claude,
       {settings, claudeBackup}},
      {"a link: its target replaced, its mode kept",
       [&](const TestHome& h) {
         const std::string target = h.write("dotfiles/claude.json", mine);
         ::chmod(target.c_str(), 0640);
         files::makeDirs(h.path() + "/.claude");
         (void)::symlink("../dotfiles/claude.json", (h.path() + settings).c_str());
       },
       claude,
       {settings, "/dotfiles/claude.json", claudeBackup}},
      {"a link to nothing",
       [&](const TestHome& h) {
         files::makeDirs(h.path() + "/.claude");
         (void)::symlink((h.path() + "/dotfiles/gone.json").c_str(), (h.path() + settings).c_str());
       },
       claude,
       {settings}},
      {"read-only",
       [&](const TestHome& h) { ::chmod(h.write(settings.substr(1), mine).c_str(), 0444); },
       claude,
       {settings, claudeBackup}},
      {"not JSON",
       [&](const TestHome& h) { h.write(settings.substr(1), "{\"a\": }"); },
       claude,
       {settings}},
      {"not an object",
       [&](const TestHome& h) { h.write(settings.substr(1), "[1, 2]\n"); },
       claude,
       {settings}},
      {"a folder in the file's place",
       [&](const TestHome& h) { files::makeDirs(h.path() + settings); },
       claude,
       {}},
      {"connect then disconnect gives back the bytes",
       [](const TestHome& h) {
         h.write(".gemini/settings.json", "{\n    \"theme\": \"Dracula\" // mine\n}\n");
       },
       geminiRoundTrip,
       {"/.gemini/settings.json"}},
      {"a file of ours removed, a missing one is no failure",
       [](const TestHome& h) { files::makeDirs(h.path() + "/.copilot"); },
       [](FileSystem& fs) {
         Integration(Integration::copilot).install(fs);
         Integration(Integration::copilot).uninstall(fs);
         Integration(Integration::copilot).uninstall(fs);
       },
       {"/.copilot/hooks/talvane.json"}},
  };
  for (const Case& c : cases) {
    const Outcome local = runCase(c, false);
    const Outcome remote = runCase(c, true);
    EXPECT_EQ(remote, local) << c.name;
  }
  // The messages themselves, once, so that a shared mistake shows too.
  EXPECT_EQ(runCase(cases[4], true).error,
            "~/.claude/settings.json is read-only, so it was left as it is");
  EXPECT_NE(runCase(cases[3], true)
                .error.find("is a symbolic link to ~/dotfiles/gone.json, which "
                            "does not exist"),
            std::string::npos);
}

TEST_F(RemoteFileSystemTest, FactsOfLinksAndTheAgentsFoundMatchThisMachine) {
  TestHome home;
  home.write(".gemini/settings.json", "{}");
  home.write("bin/windsurf", "#!/bin/sh\n");
  ::chmod((home.path() + "/bin/windsurf").c_str(), 0755);
  files::makeDirs(home.path() + "/.config/opencode");
  (void)::symlink("odd\nname", (home.path() + "/dangling").c_str());
  LocalShellRunner runner(home.path());
  SshSession session(*Destination::parse("devbox"), runner);
  RemoteFileSystem remote(session, home.path(), home.path() + "/.config");
  FileSystem& local = FileSystem::local();
  for (const std::string path :
       {"/dangling", "/.gemini", "/.gemini/settings.json", "/bin/windsurf", "/nothing"}) {
    const FileFacts a = local.facts(home.path() + path);
    const FileFacts b = remote.facts(home.path() + path);
    EXPECT_EQ(std::tie(a.exists, a.directory, a.link, a.writable, a.executable, a.mode, a.linkText,
                       a.resolved, a.linkError),
              std::tie(b.exists, b.directory, b.link, b.writable, b.executable, b.mode, b.linkText,
                       b.resolved, b.linkError))
        << path;
  }
  for (Integration agent : Integration::allCases())
    EXPECT_EQ(agent.available(remote), agent.available(local)) << agent.rawValue();
  EXPECT_TRUE(remote.onPath("sh"));
  EXPECT_FALSE(remote.onPath("windsurf"));  // ~/bin is not on PATH
}

}  // namespace
}  // namespace talvane::remote

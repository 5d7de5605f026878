// Connecting and disconnecting leave the agents' files as the user wrote them.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "helpers.h"
#include "integrations/agent_hooks.h"
#include "integrations/config_file.h"
#include "integrations/hook_installer.h"
#include "support/test_home.h"

namespace talvane {
namespace {

using testing::contents;
using testing::TestHome;

class SettingsEditTest : public ::testing::Test {
 protected:
  SettingsEditTest() {
    HookInstaller::setRelaySource(home_.write("shipped/talvane-hook", "#!/bin/sh\n"));
  }
  ~SettingsEditTest() override { HookInstaller::setRelaySource(std::nullopt); }

  static const AgentHooks::Entry& agent(const char* name) { return *AgentHooks::find(name); }

  TestHome home_;
};

struct Stamp {
  ino_t inode;
  timespec mtime;
  bool operator==(const Stamp& o) const {
    return inode == o.inode && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

Stamp stampOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return {st.st_ino, st.st_mtim};
}

struct RoundTrip {
  const char* agent;
  const char* file;
  std::string text;
};

TEST_F(SettingsEditTest, ConnectThenDisconnectGivesBackTheSameBytes) {
  const RoundTrip cases[] = {
      {"claude", ".claude/settings.json",
       "// mine\n{\n  \"model\": \"opus\", // favourite\n  /* below */\n  \"hooks\": {}\n}\n"},
      {"claude", ".claude/settings.json",
       "{\r\n    \"hooks\": {\r\n        \"PreToolUse\": [\r\n            {\"matcher\": \"Bash\", "
       "\"hooks\": [{\"type\": \"command\", \"command\": \"audit\"}]}\r\n        ]\r\n    },\r\n"
       "    \"n\": 12345678901234567890123\r\n}\r\n"},
      {"gemini", ".gemini/settings.json",
       "{\n\t\"theme\": \"caf\\u00e9 \\ud83d\\ude00\", // tabs\n\t\"hooks\": "
       "{\n\t\t\"BeforeTool\": "
       "[\n\t\t\t{\"matcher\": \"x\", \"hooks\": [{\"type\": \"command\", \"command\": \"a\"}]}\n"
       "\t\t]\n\t}\n}"},
      {"cursor", ".cursor/hooks.json", R"({"version":1,"hooks":{"stop":[{"command":"say"}]}})"},
      {"cursor", ".cursor/hooks.json",
       "{\n  \"version\": 1,\n  \"hooks\": {\n    \"stop\": [\n      {\"command\": \"say\"},\n    "
       "],"
       "\n  },\n}\n"},
      {"windsurf", ".codeium/windsurf/hooks.json",
       "{\"hooks\": { /* mine */ \"pre_user_prompt\": [ { \"command\": \"log\" } ] }}"},
      {"droid", ".factory/settings.json", "{\n    \"model\": \"x\" // no hooks yet\n}\n"},
      // What stands inside an empty object or list, and where the commas stand, is the user's.
      {"gemini", ".gemini/settings.json", "{\n  // \"model\": \"opus\",\n  /* keep */\n}\n"},
      {"claude", ".claude/settings.json", "{\n  \"hooks\": { // mine\n  }\n}\n"},
      {"claude", ".claude/settings.json",
       "{\n  \"hooks\": {\n    \"Stop\": [ /* later */ ],\n    \"PreToolUse\": [\n      // off\n   "
       " "
       "]\n  }\n}\n"},
      {"gemini", ".gemini/settings.json", "{\r\n  \"hooks\": {\r\n    // none yet\r\n  }\r\n}\r\n"},
      {"droid", ".factory/settings.json", "{\n  \"hooks\": {\n\n  },\n  \"x\": [\n  ]\n}"},
      {"cursor", ".cursor/hooks.json",
       "{\n  \"version\": 1,\n  \"hooks\": {\n    \"stop\": [\n      {\"command\": \"say\"}\n      "
       ",\n"
       "    ]\n    ,\n  }\n  ,\n}\n"},
      {"windsurf", ".codeium/windsurf/hooks.json", "{\"hooks\": { /* mine */ }}"},
      {"windsurf", ".codeium/windsurf/hooks.json", "{\"a\": 1 // last\n}"},
  };
  for (const RoundTrip& c : cases) {
    const std::string path = home_.write(c.file, c.text);
    agent(c.agent).connect();
    EXPECT_TRUE(agent(c.agent).connected()) << c.agent << ": " << c.text;
    EXPECT_EQ(contents(path + ".talvane-backup"), c.text) << c.agent;
    const std::string connected = contents(path);
    const Stamp stamp = stampOf(path);
    agent(c.agent).connect();
    EXPECT_EQ(contents(path), connected) << c.agent;
    EXPECT_TRUE(stampOf(path) == stamp) << c.agent << ": a second connect rewrote the file";
    agent(c.agent).disconnect();
    EXPECT_EQ(contents(path), c.text) << c.agent;
  }
}

TEST_F(SettingsEditTest, StartupAndEmptyDisconnectsWriteNothing) {
  const std::string claude = home_.write(".claude/settings.json", "{\"hooks\": {}}");
  const std::string cursor = home_.write(".cursor/hooks.json", "{\"version\": 1} // mine");
  AgentHooks::refreshAtStartup(/*connectCursor=*/true);
  agent("claude").connect();
  ASSERT_TRUE(agent("claude").connected());
  const Stamp stamps[] = {stampOf(claude), stampOf(cursor), stampOf(HookInstaller::binPath())};
  AgentHooks::refreshAtStartup(/*connectCursor=*/true);
  EXPECT_TRUE(stampOf(claude) == stamps[0]);
  EXPECT_TRUE(stampOf(cursor) == stamps[1]);
  EXPECT_TRUE(stampOf(HookInstaller::binPath()) == stamps[2]) << "the relay was copied again";

  const std::string other = "{\"version\": 1, \"hooks\": {\"stop\": [{\"command\": \"x\"}]}}";
  home_.write(".cursor/hooks.json", other);
  ::unlink((cursor + ".talvane-backup").c_str());
  agent("cursor").disconnect();
  EXPECT_EQ(contents(cursor), other);
  EXPECT_FALSE(files::exists(cursor + ".talvane-backup")) << "nothing to change, nothing written";
}

TEST_F(SettingsEditTest, RefusesReadOnlyFilesAndBrokenLinksNamingTheFile) {
  const std::string path = home_.write(".gemini/settings.json", "{}");
  ::chmod(path.c_str(), 0444);
  const Stamp before = stampOf(path);
  try {
    agent("gemini").connect();
    ADD_FAILURE() << "a read-only file was replaced";
  } catch (const IntegrationError& e) {
    EXPECT_STREQ(e.what(), "~/.gemini/settings.json is read-only, so it was left as it is");
  }
  EXPECT_EQ(contents(path), "{}");
  EXPECT_TRUE(stampOf(path) == before);

  ::unlink(path.c_str());
  ASSERT_EQ(::symlink((home_.path() + "/dotfiles/gemini.json").c_str(), path.c_str()), 0);
  try {
    agent("gemini").connect();
    ADD_FAILURE() << "a link to nothing was accepted";
  } catch (const IntegrationError& e) {
    EXPECT_STREQ(e.what(),
                 "~/.gemini/settings.json is a symbolic link to ~/dotfiles/gemini.json, which "
                 "does not exist");
  }
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced";
  EXPECT_NO_THROW(agent("gemini").disconnect()) << "nothing of ours to remove";
}

TEST_F(SettingsEditTest, AFailedWriteNamesTheFileNotTheTemporaryOne) {
  const std::string path = home_.write(".gemini/settings.json", "{}");
  agent("gemini").connect();  // the relay is in place before writes start failing
  home_.write(".gemini/settings.json", "{}");
  // Writes past 64 bytes fail with "File too large" instead of killing the process.
  struct rlimit old {};
  ::getrlimit(RLIMIT_FSIZE, &old);
  struct rlimit small = old;
  small.rlim_cur = 64;
  auto* previous = ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &small);
  std::string message;
  try {
    agent("gemini").connect();
  } catch (const IntegrationError& e) {
    message = e.what();
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, previous);
  EXPECT_EQ(message, "cannot write ~/.gemini/settings.json: File too large");
  EXPECT_EQ(contents(path), "{}");
}

}  // namespace
}  // namespace talvane

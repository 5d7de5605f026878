#include "integrations/agent_hooks.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "helpers.h"
#include "integrations/cursor_hooks.h"
#include "integrations/hook_installer.h"
#include "support/test_home.h"

namespace talvane {
namespace {

using testing::contents;
using testing::jsonAt;
using testing::TestHome;

class StartupRefreshTest : public ::testing::Test {
 protected:
  StartupRefreshTest() {
    relay_ = home_.write("shipped/talvane-hook", "#!/bin/sh\n# new relay\n");
    HookInstaller::setRelaySource(relay_);
  }
  ~StartupRefreshTest() override { HookInstaller::setRelaySource(std::nullopt); }

  TestHome home_;
  std::string relay_;
};

TEST(AgentHooksTable, ListsEveryAgentOnce) {
  EXPECT_EQ(AgentHooks::names(), "claude, cursor, gemini, droid, opencode, copilot, windsurf");
  ASSERT_NE(AgentHooks::find("windsurf"), nullptr);
  EXPECT_EQ(AgentHooks::find("windsurf")->label, "Windsurf");
  EXPECT_EQ(AgentHooks::find("all"), nullptr);
  EXPECT_EQ(AgentHooks::find("Claude"), nullptr);
}

TEST_F(StartupRefreshTest, ChangesNothingWhenNothingIsInstalled) {
  const std::string settings = "{\"model\": \"opus\"}";
  home_.write(".claude/settings.json", settings);
  files::makeDirs(home_.path() + "/.cursor");
  AgentHooks::refreshAtStartup(false);
  EXPECT_EQ(contents(HookInstaller::settingsPath()), settings);
  EXPECT_FALSE(files::exists(CursorHooks::path()));
  EXPECT_FALSE(files::exists(HookInstaller::binPath()));
}

TEST_F(StartupRefreshTest, MigratesHooksOfTheOldRelayName) {
  home_.write(".claude/settings.json",
              R"({"hooks": {"Stop": [{"hooks": [{"type": "command",
                  "command": "~/.wendolith/bin/wendolith-hook claude"}]}]}})");
  AgentHooks::refreshAtStartup(false);
  const std::string text = contents(HookInstaller::settingsPath());
  EXPECT_EQ(text.find("wendolith-hook"), std::string::npos);
  EXPECT_TRUE(HookInstaller::isInstalled());
}

TEST_F(StartupRefreshTest, RefreshesWhatIsInstalled) {
  HookInstaller::install();
  CursorHooks::install();
  // An older relay, and a Cursor event that went missing.
  home_.write(".talvane/bin/talvane-hook", "#!/bin/sh\n# old relay\n");
  Json cursor = jsonAt(CursorHooks::path());
  cursor["hooks"].erase("stop");
  files::writeAtomic(CursorHooks::path(), cursor.dump());

  AgentHooks::refreshAtStartup(false);
  EXPECT_EQ(contents(HookInstaller::binPath()), contents(relay_));
  EXPECT_EQ(jsonAt(CursorHooks::path())["hooks"]["stop"][0]["timeout"], 60);
}

TEST_F(StartupRefreshTest, ConnectsCursorWhenTheEnvironmentAsks) {
  setenv("TALVANE_CONNECT_CURSOR", "", 1);
  AgentHooks::refreshAtStartup();
  unsetenv("TALVANE_CONNECT_CURSOR");
  EXPECT_TRUE(CursorHooks::isInstalled());
  EXPECT_FALSE(files::exists(HookInstaller::settingsPath()));
}

TEST_F(StartupRefreshTest, AbsorbsErrorsAndLeavesBrokenFilesAlone) {
  const std::string broken = "{ \"hooks\": \"wendolith-hook\" ";
  home_.write(".claude/settings.json", broken);
  home_.write(".cursor/hooks.json", "[\"talvane-hook\"]");
  EXPECT_NO_THROW(AgentHooks::refreshAtStartup(true));
  EXPECT_EQ(contents(HookInstaller::settingsPath()), broken);
  EXPECT_EQ(contents(CursorHooks::path()), "[\"talvane-hook\"]");
}

}  // namespace
}  // namespace talvane

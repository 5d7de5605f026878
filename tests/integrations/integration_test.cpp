#include "integrations/integration.h"

#include <gtest/gtest.h>

#include "helpers.h"
#include "integrations/config_file.h"
#include "integrations/hook_installer.h"
#include "support/test_home.h"

namespace talvane {
namespace {

using testing::contents;
using testing::jsonAt;
using testing::TestHome;

class IntegrationTest : public ::testing::Test {
 protected:
  IntegrationTest() {
    HookInstaller::setRelaySource(home_.write("shipped/talvane-hook", "#!/bin/sh\n"));
  }
  ~IntegrationTest() override { HookInstaller::setRelaySource(std::nullopt); }

  TestHome home_;
};

// Our hook entries in a Claude-style file, as "event|matcher|timeout".
std::vector<std::string> ourGroups(const Json& config) {
  std::vector<std::string> found;
  for (const auto& [event, groups] : config.at("hooks").items())
    for (const Json& group : groups)
      for (const Json& hook : group.at("hooks"))
        if (ConfigFile::isOurs(hook))
          found.push_back(event + "|" + group.value("matcher", "-") + "|" +
                          (hook.contains("timeout") ? hook["timeout"].dump() : "-"));
  return found;
}

TEST(IntegrationCases, NamesLabelsAndCommands) {
  std::vector<std::string> names;
  for (Integration integration : Integration::allCases())
    names.emplace_back(integration.rawValue());
  EXPECT_EQ(names,
            (std::vector<std::string>{"gemini", "droid", "opencode", "copilot", "windsurf"}));
  EXPECT_EQ(Integration::named("copilot"), Integration(Integration::copilot));
  EXPECT_FALSE(Integration::named("Gemini"));
  EXPECT_EQ(Integration(Integration::droid).label(), "Droid");

  EXPECT_EQ(Integration(Integration::gemini).command(),
            "/bin/sh -c '[ -x \"$HOME/.talvane/bin/talvane-hook\" ] && "
            "\"$HOME/.talvane/bin/talvane-hook\" gemini; exit 0'");
  EXPECT_EQ(Integration(Integration::copilot).command("agentStop"),
            "/bin/sh -c '[ -x \"$HOME/.talvane/bin/talvane-hook\" ] && "
            "\"$HOME/.talvane/bin/talvane-hook\" copilot agentStop; exit 0'");
}

TEST_F(IntegrationTest, CopilotPassesAgentAndEventToTheRelay) {
  Integration::Case c = Integration::copilot;
  Integration(c).install();
  Json file = jsonAt(Integration(c).path());
  EXPECT_EQ(Integration(c).path(), home_.path() + "/.copilot/hooks/talvane.json");
  EXPECT_EQ(file["version"], 1);
  std::vector<std::string> events;
  for (const auto& [event, hooks] : file["hooks"].items()) {
    events.push_back(event);
    ASSERT_EQ(hooks.size(), 1u);
    EXPECT_EQ(hooks[0]["type"], "command");
    EXPECT_EQ(hooks[0]["timeoutSec"], 10);
  }
  EXPECT_EQ(events,
            (std::vector<std::string>{"agentStop", "errorOccurred", "postToolUse", "preToolUse",
                                      "sessionEnd", "sessionStart", "userPromptSubmitted"}));

  // Run the command the way Copilot CLI would, against a stand-in relay.
  const std::string record = home_.path() + "/record";
  testing::writeStubRelay(HookInstaller::binPath(), record);
  const std::string command = file["hooks"]["agentStop"][0]["bash"];
  EXPECT_EQ(testing::runShell("echo '{}' | " + command).status, 0);
  EXPECT_EQ(contents(record), "args:copilot agentStop\n{}\n\n--\n");

  EXPECT_TRUE(Integration(c).isInstalled());
  Integration(c).install();
  Integration(c).uninstall();
  EXPECT_FALSE(files::exists(Integration(c).path()));
  EXPECT_FALSE(files::exists(Integration(c).path() + ".talvane-backup"));
  EXPECT_FALSE(Integration(c).isInstalled());
}

TEST_F(IntegrationTest, GeminiTwiceLeavesOneGroupPerEventAndKeepsOthers) {
  Integration gemini = Integration::gemini;
  home_.write(".gemini/settings.json", R"({
    // Gemini allows comments
    "theme": "GitHub", "mcpServers": {"x": {"url": "http://h/p"}},
    "hooks": {"BeforeTool": [{"matcher": "write_file", "hooks": [{"type": "command",
                                                                  "command": "lint"}]}],
              "AfterAgent": [{"hooks": [{"type": "command", "command": "/o/wendolith-hook gemini"}]}]}
  })");
  gemini.install();
  const std::string once = contents(gemini.path());
  gemini.install();
  EXPECT_EQ(contents(gemini.path()), once);

  Json config = jsonAt(gemini.path());
  EXPECT_EQ(config["theme"], "GitHub");
  EXPECT_EQ(config["mcpServers"]["x"]["url"], "http://h/p");
  EXPECT_NE(once.find("\"http://h/p\""), std::string::npos) << "slashes stay unescaped";
  EXPECT_EQ(config["hooks"]["BeforeTool"][0]["hooks"][0]["command"], "lint");
  EXPECT_EQ(ourGroups(config),
            (std::vector<std::string>{"AfterAgent|-|70000", "AfterTool|*|-", "BeforeAgent|-|-",
                                      "BeforeTool|*|-", "Notification|*|-", "SessionEnd|-|-",
                                      "SessionStart|-|-"}));
  EXPECT_EQ(once.find("wendolith-hook"), std::string::npos);
  EXPECT_EQ(config["hooks"]["AfterAgent"][0]["hooks"][0]["command"], gemini.command());

  gemini.uninstall();
  EXPECT_EQ(jsonAt(gemini.path()), Json::parse(R"({
    "theme": "GitHub", "mcpServers": {"x": {"url": "http://h/p"}},
    "hooks": {"BeforeTool": [{"matcher": "write_file", "hooks": [{"type": "command",
                                                                  "command": "lint"}]}]}
  })"));
  EXPECT_FALSE(gemini.isInstalled());
}

TEST_F(IntegrationTest, DroidPrefersHooksJsonWhenItExists) {
  Integration droid = Integration::droid;
  EXPECT_EQ(droid.path(), home_.path() + "/.factory/settings.json");
  droid.install();
  EXPECT_EQ(ourGroups(jsonAt(home_.path() + "/.factory/settings.json")),
            (std::vector<std::string>{"Notification|*|-", "PostToolUse|*|-", "PreToolUse|*|-",
                                      "SessionEnd|-|-", "SessionStart|-|-", "Stop|-|70",
                                      "UserPromptSubmit|-|-"}));

  home_.write(".factory/hooks.json", "{\"hooks\": {}}");
  EXPECT_EQ(droid.path(), home_.path() + "/.factory/hooks.json");
  droid.install();
  EXPECT_EQ(ourGroups(jsonAt(droid.path())).size(), 7u);

  // Both files had our hooks; disconnecting clears both.
  droid.uninstall();
  EXPECT_EQ(contents(home_.path() + "/.factory/hooks.json").find("talvane-hook"),
            std::string::npos);
  EXPECT_EQ(contents(home_.path() + "/.factory/settings.json").find("talvane-hook"),
            std::string::npos);
}

TEST_F(IntegrationTest, WindsurfAppendsOneHookPerEvent) {
  Integration windsurf = Integration::windsurf;
  home_.write(".codeium/windsurf/hooks.json", R"({"hooks": {
    "pre_run_command": [{"command": "guard.sh", "show_output": true}],
    "pre_user_prompt": [{"command": "/old/talvane-hook windsurf; exit 0"}]}})");
  windsurf.install();
  windsurf.install();
  Json config = jsonAt(windsurf.path());
  EXPECT_EQ(config["hooks"].size(), 10u);
  for (const auto& [event, list] : config["hooks"].items()) {
    ASSERT_EQ(list.back(), (Json{{"command", windsurf.command()}, {"show_output", false}}))
        << event;
    EXPECT_EQ(list.size(), event == "pre_run_command" ? 2u : 1u) << event;
  }
  EXPECT_EQ(config["hooks"]["pre_run_command"][0]["command"], "guard.sh");

  windsurf.uninstall();
  EXPECT_EQ(jsonAt(windsurf.path()), Json::parse(R"({"hooks": {
    "pre_run_command": [{"command": "guard.sh", "show_output": true}]}})"));
}

TEST_F(IntegrationTest, OpenCodeGetsThePluginFileAndLosesItAgain) {
  Integration opencode = Integration::opencode;
  EXPECT_EQ(opencode.path(), home_.path() + "/.config/opencode/plugin/talvane.js");
  opencode.install();
  EXPECT_EQ(contents(opencode.path()),
            contents(TALVANE_SOURCE_DIR "/src/integrations/opencode/talvane.js"));
  EXPECT_TRUE(opencode.isInstalled());
  opencode.uninstall();
  EXPECT_FALSE(files::exists(opencode.path()));
  EXPECT_FALSE(opencode.isInstalled());
  opencode.uninstall();  // nothing left to remove is no error
}

TEST_F(IntegrationTest, SharedFilesThatAreNotObjectsAreRefusedAndLeftUntouched) {
  for (Integration integration : {Integration::gemini, Integration::droid, Integration::windsurf}) {
    for (const std::string& bad : std::vector<std::string>{"[]", "{\"hooks\": ", "42"}) {
      SCOPED_TRACE(std::string(integration.rawValue()) + ": " + bad);
      const std::string path = integration.path();
      home_.write(path.substr(home_.path().size() + 1), bad);
      EXPECT_THROW(integration.install(), IntegrationError);
      EXPECT_THROW(integration.uninstall(), IntegrationError);
      EXPECT_EQ(contents(path), bad);
      EXPECT_FALSE(files::exists(path + ".talvane-backup"));
    }
  }
}

TEST_F(IntegrationTest, UninstallDoesNotTouchFilesWithoutOurHooks) {
  const std::string commented = "{\n  // keep me\n  \"hooks\": {}\n}\n";
  home_.write(".gemini/settings.json", commented);
  home_.write(".codeium/windsurf/hooks.json", commented);
  for (Integration integration : Integration::allCases()) integration.uninstall();
  EXPECT_EQ(contents(home_.path() + "/.gemini/settings.json"), commented);
  EXPECT_EQ(contents(home_.path() + "/.codeium/windsurf/hooks.json"), commented);
  EXPECT_FALSE(files::exists(home_.path() + "/.factory"));
}

TEST_F(IntegrationTest, AvailabilityFollowsTheAgentsFolders) {
  auto available = [] {
    std::string list;
    for (Integration integration : Integration::allCases())
      if (integration.available()) list += std::string(integration.rawValue()) + " ";
    return list;
  };
  const bool windsurfApp = Integration(Integration::windsurf).available();
  if (windsurfApp) GTEST_SKIP() << "Windsurf is installed on this machine";
  EXPECT_EQ(available(), "");
  files::makeDirs(home_.path() + "/.opencode");
  EXPECT_EQ(available(), "opencode ");
  files::makeDirs(home_.path() + "/.gemini");
  files::makeDirs(home_.path() + "/.factory");
  files::makeDirs(home_.path() + "/.copilot");
  files::makeDirs(home_.path() + "/.codeium/windsurf");
  EXPECT_EQ(available(), "gemini droid opencode copilot windsurf ");

  TestHome other;
  files::makeDirs(other.path() + "/.config/opencode");
  EXPECT_EQ(available(), "opencode ");
}

}  // namespace
}  // namespace talvane

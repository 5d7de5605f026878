#include "integrations/hook_installer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "helpers.h"
#include "integrations/config_file.h"
#include "support/test_home.h"

namespace talvane {
namespace {

using testing::contents;
using testing::jsonAt;
using testing::TestHome;

constexpr const char* kCommand =
    "/bin/sh -c '[ -x \"$HOME/.talvane/bin/talvane-hook\" ] && "
    "\"$HOME/.talvane/bin/talvane-hook\" claude; exit 0'";

class HookInstallerTest : public ::testing::Test {
 protected:
  HookInstallerTest() {
    relay_ = home_.write("shipped/talvane-hook", "#!/bin/sh\necho relay v1\n");
    HookInstaller::setRelaySource(relay_);
  }
  ~HookInstallerTest() override { HookInstaller::setRelaySource(std::nullopt); }

  std::string settings() const { return HookInstaller::settingsPath(); }

  TestHome home_;
  std::string relay_;
};

// Every command of ours found in Claude-style settings, as "event|matcher|timeout".
std::vector<std::string> ours(const Json& settings) {
  std::vector<std::string> found;
  for (const auto& [event, groups] : settings.at("hooks").items())
    for (const Json& group : groups)
      for (const Json& hook : group.at("hooks"))
        if (hook.value("command", "").find("-hook") != std::string::npos)
          found.push_back(event + "|" + group.value("matcher", "-") + "|" +
                          (hook.contains("timeout") ? hook["timeout"].dump() : "-") + "|" +
                          (hook.value("command", "") == kCommand ? "current" : "other"));
  return found;
}

TEST_F(HookInstallerTest, InstallsTheRelayAndRegistersEveryEvent) {
  HookInstaller::install();

  EXPECT_EQ(contents(HookInstaller::binPath()), contents(relay_));
  struct stat st;
  ASSERT_EQ(::stat(HookInstaller::binPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(HookInstaller::binPath(), home_.path() + "/.talvane/bin/talvane-hook");

  Json written = jsonAt(settings());
  EXPECT_EQ(ours(written),
            (std::vector<std::string>{
                "Notification|*|-|current", "PermissionRequest|*|86400|current",
                "PostToolUse|*|-|current", "PreCompact|-|-|current", "PreToolUse|*|-|current",
                "SessionEnd|-|-|current", "SessionStart|-|-|current", "Stop|-|-|current",
                "SubagentStop|-|-|current", "UserPromptSubmit|-|-|current"}));
  EXPECT_EQ(
      written["hooks"]["Stop"],
      Json::array({{{"hooks", Json::array({{{"type", "command"}, {"command", kCommand}}})}}}));
  EXPECT_TRUE(HookInstaller::isInstalled());
}

TEST_F(HookInstallerTest, KeepsOtherToolsAndInstallingTwiceChangesNothing) {
  home_.write(".claude/settings.json", R"({
    "model": "opus", "env": {"PATH_X": "/usr/bin"},
    "hooks": {
      "PreToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "audit.sh",
                                                    "timeout": 5, "extra": true}]}],
      "Custom": [{"hooks": [{"type": "command", "command": "custom"}]}],
      "Odd": "not a list"
    }
  })");
  const std::string original = contents(settings());
  HookInstaller::install();
  const std::string once = contents(settings());
  HookInstaller::install();
  EXPECT_EQ(contents(settings()), once);
  // The second install wrote nothing, so the backup still holds the version before the first.
  EXPECT_EQ(contents(settings() + ".talvane-backup"), original);

  Json written = jsonAt(settings());
  EXPECT_EQ(written["model"], "opus");
  EXPECT_EQ(written["env"]["PATH_X"], "/usr/bin");
  EXPECT_EQ(written["hooks"]["Odd"], "not a list");
  EXPECT_EQ(written["hooks"]["Custom"][0]["hooks"][0]["command"], "custom");
  ASSERT_EQ(written["hooks"]["PreToolUse"].size(), 2u);
  EXPECT_EQ(written["hooks"]["PreToolUse"][0],
            Json::parse(R"({"matcher": "Bash", "hooks": [{"type": "command",
                            "command": "audit.sh", "timeout": 5, "extra": true}]})"));
  EXPECT_EQ(written["hooks"]["PreToolUse"][1]["hooks"][0]["command"], kCommand);
}

TEST_F(HookInstallerTest, NeverRewritesAnEntryOfOursThatIsAlreadyThere) {
  home_.write(".claude/settings.json", R"({"hooks": {"Stop": [{"hooks": [
      {"type": "command", "command": "/custom/talvane-hook claude", "timeout": 9}]}]}})");
  HookInstaller::install();
  Json written = jsonAt(settings());
  EXPECT_EQ(written["hooks"]["Stop"].size(), 1u);
  EXPECT_EQ(written["hooks"]["Stop"][0]["hooks"][0]["command"], "/custom/talvane-hook claude");
}

TEST_F(HookInstallerTest, ReplacesLegacyEntries) {
  home_.write(".claude/settings.json", R"({"hooks": {
    "Stop": [{"hooks": [{"type": "command", "command": "~/.wendolith/bin/wendolith-hook claude"},
                        {"type": "command", "command": "say done"}]}],
    "PermissionRequest": [{"matcher": "*", "hooks": [
        {"type": "command", "command": "~/.wendolith/bin/wendolith-hook claude"}]}]}})");
  HookInstaller::install();
  Json written = jsonAt(settings());
  EXPECT_EQ(contents(settings()).find("wendolith-hook"), std::string::npos);
  EXPECT_EQ(written["hooks"]["Stop"][0]["hooks"],
            Json::parse(R"([{"type": "command", "command": "say done"}])"));
  EXPECT_EQ(written["hooks"]["Stop"][1]["hooks"][0]["command"], kCommand);
  EXPECT_EQ(written["hooks"]["PermissionRequest"].size(), 1u);
  EXPECT_EQ(written["hooks"]["PermissionRequest"][0]["hooks"][0]["timeout"], 86400);
}

TEST_F(HookInstallerTest, UninstallRemovesOursAndNothingElse) {
  const std::string before = R"({
    "model": "opus",
    "hooks": {
      "PreToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "audit.sh"}]}],
      "Stop": [{"hooks": [{"type": "command", "command": "/x/wendolith-hook claude"}]}]
    }
  })";
  home_.write(".claude/settings.json", before);
  HookInstaller::install();
  HookInstaller::uninstall();

  const std::string text = contents(settings());
  EXPECT_EQ(text.find("talvane-hook"), std::string::npos);
  EXPECT_EQ(text.find("wendolith-hook"), std::string::npos);
  EXPECT_EQ(jsonAt(settings()), Json::parse(R"({
    "model": "opus",
    "hooks": {
      "PreToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "audit.sh"}]}]
    }
  })"));
  EXPECT_FALSE(HookInstaller::isInstalled());
  EXPECT_TRUE(files::exists(HookInstaller::binPath())) << "the relay stays";

  // Only ours: "hooks" stays, empty.
  home_.write(".claude/settings.json", "{}");
  HookInstaller::install();
  HookInstaller::uninstall();
  EXPECT_EQ(jsonAt(settings()), Json::parse(R"({"hooks": {}})"));
}

TEST_F(HookInstallerTest, UninstallLeavesFilesWithoutOurEntriesAlone) {
  HookInstaller::uninstall();
  EXPECT_FALSE(files::exists(settings())) << "no settings file is created";

  const std::string commented = "// mine\n{\"hooks\": {\"Stop\": []}, \"model\": \"x\"}\n";
  home_.write(".claude/settings.json", commented);
  HookInstaller::uninstall();
  EXPECT_EQ(contents(settings()), commented);
  EXPECT_FALSE(files::exists(settings() + ".talvane-backup"));
}

TEST_F(HookInstallerTest, RefusesSettingsThatAreNoObjectAndLeavesThemUntouched) {
  for (const std::string& bad :
       std::vector<std::string>{"[{\"hooks\": {}}]", "{\"hooks\": {", "\"text\"", "nul"}) {
    SCOPED_TRACE(bad);
    home_.write(".claude/settings.json", bad);
    for (auto operation : {HookInstaller::install, HookInstaller::uninstall}) {
      EXPECT_THROW(operation(), IntegrationError);
      EXPECT_EQ(contents(settings()), bad);
      EXPECT_FALSE(files::exists(settings() + ".talvane-backup"));
    }
  }
  home_.write(".claude/settings.json", "[]");
  try {
    HookInstaller::install();
    ADD_FAILURE() << "a list was accepted";
  } catch (const IntegrationError& e) {
    EXPECT_STREQ(e.what(), "~/.claude/settings.json is not a JSON object");
    EXPECT_EQ(e.code(), IntegrationError::notAnObject);
    EXPECT_EQ(IntegrationError::domain, "Talvane");
  }
}

TEST_F(HookInstallerTest, AcceptsSettingsWithCommentsAndBacksThemUp) {
  const std::string commented = "{\n  // my model\n  \"model\": \"sonnet\" /* for now */\n}\n";
  home_.write(".claude/settings.json", commented);
  HookInstaller::install();
  EXPECT_EQ(jsonAt(settings())["model"], "sonnet");
  EXPECT_EQ(contents(settings() + ".talvane-backup"), commented);
}

TEST_F(HookInstallerTest, MissingRelayStillRegistersButIsNotInstalled) {
  HookInstaller::setRelaySource(home_.path() + "/nowhere/talvane-hook");
  HookInstaller::install();
  EXPECT_NE(contents(settings()).find("talvane-hook"), std::string::npos);
  EXPECT_FALSE(files::exists(HookInstaller::binPath()));
  EXPECT_FALSE(HookInstaller::isInstalled());

  // A relay that is there but not executable does not count either.
  home_.write(".talvane/bin/talvane-hook", "#!/bin/sh\n");
  ::chmod(HookInstaller::binPath().c_str(), 0644);
  EXPECT_FALSE(HookInstaller::isInstalled());
}

TEST_F(HookInstallerTest, TheHookCommandRunsTheRelayOnlyWhenItIsThere) {
  auto missing = testing::runShell(kCommand);
  EXPECT_EQ(missing.status, 0);
  EXPECT_EQ(missing.out, "");

  const std::string record = home_.path() + "/record";
  testing::writeStubRelay(home_.path() + "/stub", record);
  HookInstaller::setRelaySource(home_.path() + "/stub");
  HookInstaller::install();
  const std::string command = jsonAt(settings())["hooks"]["Stop"][0]["hooks"][0]["command"];
  auto ran = testing::runShell("echo '{\"x\":1}' | " + command);
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(contents(record), "args:claude\n{\"x\":1}\n\n--\n");
}

TEST(HookInstallerStripping, DropsEmptiedGroupsAndEventsOnly) {
  Json hooks = Json::parse(R"({
    "A": [{"matcher": "*", "hooks": [{"command": "talvane-hook"}]},
          {"matcher": "x", "hooks": [{"command": "keep"}, {"command": "a talvane-hook b"}]}],
    "B": [{"hooks": [{"command": "talvane-hook"}]}],
    "C": [{"hooks": []}, {"other": 1}],
    "D": 3
  })");
  EXPECT_EQ(HookInstaller::stripping(hooks, "talvane-hook"), Json::parse(R"({
    "A": [{"matcher": "x", "hooks": [{"command": "keep"}]}],
    "C": [{"hooks": []}, {"other": 1}],
    "D": 3
  })"));
}

}  // namespace
}  // namespace talvane

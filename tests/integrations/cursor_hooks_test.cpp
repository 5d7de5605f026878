#include "integrations/cursor_hooks.h"

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

const std::vector<std::string> kEvents = {
    "afterAgentResponse",  "afterFileEdit",      "afterMCPExecution",
    "afterShellExecution", "beforeSubmitPrompt", "preCompact",
    "sessionEnd",          "sessionStart",       "stop"};

class CursorHooksTest : public ::testing::Test {
 protected:
  CursorHooksTest() {
    HookInstaller::setRelaySource(home_.write("shipped/talvane-hook", "#!/bin/sh\n"));
  }
  ~CursorHooksTest() override { HookInstaller::setRelaySource(std::nullopt); }

  TestHome home_;
};

TEST(CursorHooksCommand, FallsBackToWhatCursorNeedsToCarryOn) {
  EXPECT_EQ(CursorHooks::command("beforeSubmitPrompt"),
            "/bin/sh -c '[ -x \"$HOME/.talvane/bin/talvane-hook\" ] && exec "
            "\"$HOME/.talvane/bin/talvane-hook\" cursor || echo \"{\\\"continue\\\":true}\"'");
  EXPECT_EQ(CursorHooks::command("stop"),
            "/bin/sh -c '[ -x \"$HOME/.talvane/bin/talvane-hook\" ] && exec "
            "\"$HOME/.talvane/bin/talvane-hook\" cursor || echo \"{}\"'");
  EXPECT_EQ(CursorHooks::command("afterFileEdit"), CursorHooks::command("stop"));

  // And the shell agrees: without a relay the fallbacks are printed, with one it runs.
  TestHome home;
  EXPECT_EQ(testing::runShell(CursorHooks::command("beforeSubmitPrompt")).out,
            "{\"continue\":true}\n");
  EXPECT_EQ(testing::runShell(CursorHooks::command("sessionStart")).out, "{}\n");
  const std::string record = home.path() + "/record";
  testing::writeStubRelay(HookInstaller::binPath(), record);
  auto ran = testing::runShell("echo '{\"a\":1}' | " + CursorHooks::command("beforeSubmitPrompt"));
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(ran.out, "");
  EXPECT_EQ(contents(record), "args:cursor\n{\"a\":1}\n\n--\n");
}

TEST_F(CursorHooksTest, InstallsOneHookPerEventAfterOtherTools) {
  home_.write(".cursor/hooks.json", R"({
    "version": 2, "note": "mine",
    "hooks": {"stop": [{"command": "./notify.sh", "timeout": 5}],
              "afterFileEdit": [{"command": "format"}],
              "beforeReadFile": [{"command": "guard"}]}
  })");
  CursorHooks::install();
  CursorHooks::install();

  Json config = jsonAt(CursorHooks::path());
  EXPECT_EQ(config["version"], 2);
  EXPECT_EQ(config["note"], "mine");
  EXPECT_EQ(config["hooks"]["beforeReadFile"], Json::parse(R"([{"command": "guard"}])"));
  std::vector<std::string> events;
  for (const auto& [event, list] : config["hooks"].items()) {
    int ours = 0;
    for (const Json& hook : list)
      if (ConfigFile::isOurs(hook)) {
        ++ours;
        EXPECT_EQ(hook["command"], CursorHooks::command(event));
        EXPECT_EQ(hook.contains("timeout"), event == "stop") << event;
      }
    if (ours == 0) continue;
    EXPECT_EQ(ours, 1) << event;
    EXPECT_TRUE(ConfigFile::isOurs(list.back())) << event << ": ours come last";
    events.push_back(event);
  }
  EXPECT_EQ(events, kEvents);
  EXPECT_EQ(config["hooks"]["stop"][0], Json::parse(R"({"command": "./notify.sh", "timeout": 5})"));
  EXPECT_EQ(config["hooks"]["stop"][1]["timeout"], 60);
  EXPECT_EQ(config["hooks"]["afterFileEdit"][0]["command"], "format");
  EXPECT_TRUE(CursorHooks::isInstalled());
}

TEST_F(CursorHooksTest, AFreshFileGetsVersionOne) {
  CursorHooks::install();
  EXPECT_EQ(jsonAt(CursorHooks::path())["version"], 1);
  EXPECT_EQ(CursorHooks::path(), home_.path() + "/.cursor/hooks.json");
  EXPECT_TRUE(files::exists(HookInstaller::binPath()));
}

TEST_F(CursorHooksTest, UninstallRemovesOursAndKeepsTheRest) {
  home_.write(".cursor/hooks.json",
              R"({"version": 1, "hooks": {"stop": [{"command": "./notify.sh"}]}})");
  CursorHooks::install();
  CursorHooks::uninstall();
  EXPECT_EQ(jsonAt(CursorHooks::path()),
            Json::parse(R"({"version": 1, "hooks": {"stop": [{"command": "./notify.sh"}]}})"));
  EXPECT_FALSE(CursorHooks::isInstalled());

  home_.write(".cursor/hooks.json", "{}");
  CursorHooks::install();
  CursorHooks::uninstall();
  EXPECT_EQ(jsonAt(CursorHooks::path()), Json::parse(R"({"version": 1, "hooks": {}})"));
}

TEST_F(CursorHooksTest, RefusesABrokenFileAndLeavesItUntouched) {
  for (const std::string& bad : std::vector<std::string>{"[]", "{\"hooks\": {\"stop\": [", "x"}) {
    SCOPED_TRACE(bad);
    home_.write(".cursor/hooks.json", bad);
    EXPECT_THROW(CursorHooks::install(), IntegrationError);
    EXPECT_THROW(CursorHooks::uninstall(), IntegrationError);
    EXPECT_EQ(contents(CursorHooks::path()), bad);
    EXPECT_FALSE(files::exists(CursorHooks::path() + ".talvane-backup"));
    EXPECT_FALSE(CursorHooks::isInstalled());
  }
}

TEST_F(CursorHooksTest, AcceptsCommentsAndKeepsThePreviousVersionAsBackup) {
  const std::string commented = "{\n  // my hooks\n  \"version\": 1\n}";
  home_.write(".cursor/hooks.json", commented);
  CursorHooks::install();
  EXPECT_TRUE(CursorHooks::isInstalled());
  EXPECT_EQ(contents(CursorHooks::path() + ".talvane-backup"), commented);
}

TEST_F(CursorHooksTest, AvailableWithOnlyTheHomeFolder) {
  if (CursorHooks::applicationInstalled()) GTEST_SKIP() << "Cursor is installed on this machine";
  EXPECT_FALSE(CursorHooks::available());
  files::makeDirs(home_.path() + "/.cursor");
  EXPECT_TRUE(CursorHooks::available());
}

}  // namespace
}  // namespace talvane

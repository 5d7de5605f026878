// The real `talvane connect|disconnect|status` against a temporary home.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "helpers.h"
#include "integrations/agent_hooks.h"
#include "support/test_home.h"

namespace talvane {
namespace {

using testing::contents;
using testing::jsonAt;
using testing::TestHome;

const std::string kTalvane = TALVANE_BIN_DIR "/talvane";

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!files::exists(kTalvane)) GTEST_SKIP() << "talvane is not built";
    for (const char* dir : {".claude", ".cursor", ".gemini", ".factory", ".opencode", ".copilot",
                            ".codeium/windsurf"})
      files::makeDirs(home_.path() + "/" + dir);
  }

  testing::Run talvane(const std::string& args) {
    return testing::runShell("'" + kTalvane + "' " + args);
  }

  // The "yes"/"no" pairs of `talvane status`, one "name available connected" per agent.
  std::vector<std::string> agents(const std::string& out) {
    std::vector<std::string> rows;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      std::string name, available, connected;
      if (words >> name >> available >> connected && (available == "yes" || available == "no"))
        rows.push_back(name + " " + available + " " + connected);
    }
    return rows;
  }

  TestHome home_;
};

TEST_F(CliTest, ConnectAllStatusDisconnectAll) {
  const std::string gemini = "{\n  // mine\n  \"theme\": \"Dracula\"\n}\n";
  home_.write(".gemini/settings.json", gemini);
  home_.write(".claude/settings.json", R"({"model": "opus", "hooks": {"Stop": [
      {"hooks": [{"type": "command", "command": "say done"}]}]}})");

  auto connected = talvane("connect all");
  EXPECT_EQ(connected.status, 0) << connected.err;
  EXPECT_EQ(connected.err, "");
  EXPECT_NE(connected.out.find("Connected Gemini CLI (~/.gemini/settings.json)"), std::string::npos)
      << connected.out;
  // The relay shipped beside talvane is the one installed.
  EXPECT_EQ(contents(home_.path() + "/.talvane/bin/talvane-hook"),
            contents(TALVANE_BIN_DIR "/talvane-hook"));
  EXPECT_EQ(talvane("connect gemini").out,
            "Gemini CLI was already connected (~/.gemini/settings.json is unchanged)\n");

  auto status = talvane("status");
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_EQ(agents(status.out),
            (std::vector<std::string>{"claude yes yes", "cursor yes yes", "gemini yes yes",
                                      "droid yes yes", "opencode yes yes", "copilot yes yes",
                                      "windsurf yes yes"}))
      << status.out;
  EXPECT_NE(status.out.find("app: not listening on ~/.talvane/run/talvane.sock"), std::string::npos)
      << status.out;

  auto disconnected = talvane("disconnect all");
  EXPECT_EQ(disconnected.status, 0) << disconnected.err;
  EXPECT_EQ(talvane("disconnect cursor").out,
            "Cursor was not connected (~/.cursor/hooks.json is unchanged)\n");
  status = talvane("status");
  for (const std::string& row : agents(status.out))
    EXPECT_EQ(row.substr(row.size() - 6), "yes no") << row;

  EXPECT_EQ(jsonAt(home_.path() + "/.claude/settings.json"),
            Json::parse(R"({"model": "opus", "hooks": {"Stop": [
                {"hooks": [{"type": "command", "command": "say done"}]}]}})"));
  EXPECT_EQ(contents(home_.path() + "/.gemini/settings.json"), gemini) << "comments and all";
  // The backup holds the connected version, the one before the last write.
  EXPECT_NE(contents(home_.path() + "/.gemini/settings.json.talvane-backup").find("talvane-hook"),
            std::string::npos);
  EXPECT_FALSE(files::exists(home_.path() + "/.copilot/hooks/talvane.json"));
  EXPECT_FALSE(files::exists(home_.path() + "/.config/opencode/plugin/talvane.js"));
}

TEST_F(CliTest, AFailingAgentDoesNotStopTheOthers) {
  const std::string list = "[\"not\", \"settings\"]";
  home_.write(".gemini/settings.json", list);
  auto run = talvane("connect all");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "talvane: cannot connect Gemini CLI: ~/.gemini/settings.json is not a JSON object\n");
  EXPECT_EQ(contents(home_.path() + "/.gemini/settings.json"), list);
  EXPECT_NE(contents(home_.path() + "/.cursor/hooks.json").find("talvane-hook"), std::string::npos);
  EXPECT_NE(contents(home_.path() + "/.codeium/windsurf/hooks.json").find("talvane-hook"),
            std::string::npos);

  run = talvane("disconnect gemini cursor");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(contents(home_.path() + "/.cursor/hooks.json").find("talvane-hook"), std::string::npos);
}

TEST_F(CliTest, RejectsUnknownAgentsWithTheValidNames) {
  auto run = talvane("connect vscode");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err,
            "talvane: unknown agent 'vscode' (choose from claude, cursor, gemini, droid, "
            "opencode, copilot, windsurf, or all)\n");
  run = talvane("disconnect");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("claude, cursor"), std::string::npos);
  EXPECT_FALSE(files::exists(home_.path() + "/.talvane")) << "nothing was written";

  TestHome empty;  // no agent at all, unless one is installed system-wide
  bool none = true;
  for (const AgentHooks::Entry& entry : AgentHooks::all()) none = none && !entry.available();
  if (none) {
    EXPECT_EQ(talvane("connect all").status, 1);
  }
  EXPECT_EQ(talvane("disconnect all").status, 0);
  EXPECT_FALSE(files::exists(empty.path() + "/.talvane"));
}

TEST_F(CliTest, StatusCountsTheRunningAppsSessions) {
  // A stand-in app: answers one state query with a snapshot of two sessions.
  const std::string dir = home_.path() + "/.talvane/run";
  files::makeDirs(dir);
  int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = dir + "/talvane.sock";
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::copy(path.begin(), path.end(), address.sun_path);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  std::thread app([listener] {
    int connection = ::accept(listener, nullptr, nullptr);
    if (connection < 0) return;
    char buf[256];
    (void)::recv(connection, buf, sizeof buf, 0);
    const std::string answer = "{\n  \"sessions\": [{\"id\": \"a\"}, {\"id\": \"b\"}]\n}\n";
    (void)::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
    ::close(connection);
  });
  auto run = talvane("status");
  ::shutdown(listener, SHUT_RDWR);
  app.join();
  ::close(listener);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("app: listening on ~/.talvane/run/talvane.sock, 2 sessions"),
            std::string::npos)
      << run.out;
}

}  // namespace
}  // namespace talvane

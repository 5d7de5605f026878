#include "remote/remote_links.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/manual_loop.h"
#include "support/fake_processes.h"
#include "support/test_home.h"

namespace talvane::remote {
namespace {

using testing::FakeProcesses;

class RemoteLinksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    links.onChange = [this](const LinkStatus& s) { changes.push_back(s); };
  }
  LinkState state() { return links.status(host.destination)->state; }
  // The preparation succeeds and the forward reports itself up.
  void connect() {
    ASSERT_FALSE(processes.lastIsForward());
    processes.exit(0);
    loop.advance(0);
    ASSERT_TRUE(processes.lastIsForward());
    processes.say("debug1: remote forward success for: listen /r/.talvane/run/talvane.sock");
    ASSERT_EQ(state(), LinkState::connected);
  }

  testing::TestHome home;
  ManualLoop loop;
  FakeProcesses processes;
  RemoteLinks links{loop, processes};
  RemoteHost host{"me@devbox", "/r", "devbox", "x86_64", {"claude"}, false};
  std::vector<LinkStatus> changes;
};

TEST_F(RemoteLinksTest, CommandsPrepareThePrivateDirectoryThenForwardTheSocket) {
  auto prepare = RemoteLinks::prepareCommand(host);
  ASSERT_FALSE(prepare.empty());
  EXPECT_EQ(prepare.back(),
            "umask 077; mkdir -p '/r/.talvane/run' && chmod 700 '/r/.talvane/run' && rm -f "
            "'/r/.talvane/run/talvane.sock'");
  auto forward = RemoteLinks::forwardCommand(host, "/l/x.sock");
  for (const char* option :
       {"-N", "BatchMode=yes", "ExitOnForwardFailure=yes", "StreamLocalBindUnlink=yes",
        "ControlMaster=no", "ServerAliveInterval=15", "/r/.talvane/run/talvane.sock:/l/x.sock"})
    EXPECT_NE(std::find(forward.begin(), forward.end(), option), forward.end()) << option;
  EXPECT_EQ(forward.back(), "me@devbox");
  EXPECT_NE(RemoteLinks::localSocketPath("a"), RemoteLinks::localSocketPath("b"));
  EXPECT_TRUE(RemoteLinks::prepareCommand({"-oProxyCommand=x", "/r", "", "", {}, false}).empty());
}

TEST_F(RemoteLinksTest, DropsRetryWithGrowingDelaysAndALastingLinkStartsThemOver) {
  links.add(host, "/l/x.sock");
  EXPECT_EQ(state(), LinkState::connecting);
  connect();
  // Dropping at once, then failing to connect: 1, 2, 4 seconds between attempts.
  processes.exit(255, {"debug1: x", "Connection closed by 127.0.0.1 port 22"});
  EXPECT_EQ(state(), LinkState::retrying);
  EXPECT_EQ(links.status(host.destination)->detail, "Connection closed by 127.0.0.1 port 22");
  for (double delay : {1.0, 2.0, 4.0}) {
    const std::size_t before = processes.started.size();
    loop.advance(delay - 0.01);
    EXPECT_EQ(processes.started.size(), before) << delay;
    loop.advance(0.01);
    ASSERT_EQ(processes.started.size(), before + 1) << delay;
    EXPECT_EQ(state(), LinkState::retrying) << "shown as retrying until it is up";
    processes.exit(255, {"ssh: connect to host devbox port 22: Connection refused"});
  }
  loop.advance(8);
  connect();
  loop.advance(RemoteLinks::kLasted);
  processes.exit(255);
  EXPECT_EQ(links.status(host.destination)->detail, "ssh exited with status 255");
  const std::size_t before = processes.started.size();
  loop.advance(1);
  EXPECT_EQ(processes.started.size(), before + 1) << "a lasting link starts the delays over";
}

TEST_F(RemoteLinksTest, ForwardStillUpAfterTheSettleTimeCountsAsConnected) {
  links.add(host, "/l/x.sock");
  processes.exit(0);
  loop.advance(0);
  loop.advance(RemoteLinks::kSettle - 1);
  EXPECT_EQ(state(), LinkState::connecting);
  loop.advance(1);
  EXPECT_EQ(state(), LinkState::connected);
}

TEST_F(RemoteLinksTest, RefusedAuthenticationIsShownAndRetriedSlowly) {
  const struct {
    const char* line;
    const char* detailPart;
  } cases[] = {
      {"me@devbox: Permission denied (publickey).", "key or agent authentication"},
      {"Host key verification failed.", "host key not verified"},
  };
  for (const auto& c : cases) {
    links.add(host, "/l/x.sock");
    processes.exit(255, {c.line});
    auto status = links.status(host.destination);
    EXPECT_EQ(status->state, LinkState::authentication) << c.line;
    EXPECT_NE(status->detail.find(c.detailPart), std::string::npos) << status->detail;
    const std::size_t before = processes.started.size();
    loop.advance(RemoteLinks::kMaxDelay - 1);
    EXPECT_EQ(processes.started.size(), before);
    loop.advance(1);
    EXPECT_EQ(processes.started.size(), before + 1);
    EXPECT_EQ(state(), LinkState::authentication);
    links.remove(host.destination);
  }
}

TEST_F(RemoteLinksTest, RemovingOrStoppingKillsTheProcessAndNothingRestarts) {
  links.add(host, "/l/x.sock");
  connect();
  RemoteHost other = host;
  other.destination = "other";
  links.add(other, "/l/y.sock");
  auto forwardOfFirst = processes.started[1];
  EXPECT_TRUE(links.remove(host.destination));
  EXPECT_FALSE(forwardOfFirst->alive);
  EXPECT_FALSE(links.status(host.destination));
  links.stop();
  EXPECT_FALSE(processes.last().alive);
  EXPECT_EQ(links.status("other")->state, LinkState::stopped);
  const std::size_t before = processes.started.size();
  loop.advance(600);
  EXPECT_EQ(processes.started.size(), before);
  // Adding it again starts it over.
  links.add(other, "/l/y.sock");
  EXPECT_EQ(processes.started.size(), before + 1);
  EXPECT_EQ(links.status("other")->state, LinkState::connecting);
}

}  // namespace
}  // namespace talvane::remote

// The whole way from a relay on a remote host to the app, through the user's real ssh: the
// loopback sshd stands in for the remote, RemoteLinks keeps the forward, a remote Bridge takes
// the events.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/bridge_fakes.h"
#include "remote/destination.h"
#include "remote/remote_links.h"
#include "support/loopback_sshd.h"
#include "support/relay_process.h"
#include "support/test_home.h"

namespace talvane::remote {
namespace {

using talvane::testing::FakeRouter;
using talvane::testing::runUntil;

// The pid of the running process whose command line holds `part`, or 0.
pid_t findProcess(const std::string& part) {
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return 0;
  while (dirent* entry = ::readdir(proc.get())) {
    const pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream in("/proc/" + std::string(entry->d_name) + "/cmdline");
    std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (line.find(part) != std::string::npos && line.find("-N") != std::string::npos) return pid;
  }
  return 0;
}

// One relay run on the remote through ssh, as an agent there would run it.
struct RemoteRelay {
  RemoteRelay(Processes& processes, const testing::LoopbackSshd& server, const std::string& payload)
      : running(processes.start({server.wrapper(), "-o", "BatchMode=yes", "remote",
                                 "printf '%s\\n' " + shellQuote(payload) + " | " +
                                     shellQuote(testing::kRelayPath) + " claude"},
                                {[this](const std::string& line) { output += line + "\n"; },
                                 [this](int s) { status = s; }})) {}
  std::unique_ptr<Processes::Running> running;
  std::string output;
  std::optional<int> status;
};

// The real programs: every line of both outputs in order, then the status, never from start().
TEST(GioProcesses, ReportEveryLineThenTheStatus) {
  const struct {
    std::vector<std::string> argv;
    std::vector<std::string> lines;  // empty: only checked not to hang
    int status;
  } cases[] = {
      {{"/bin/sh", "-c", "echo one; printf 'two\\r\\n' >&2; printf three; exit 3"},
       {"one", "two", "three"},
       3},
      {{"/nonexistent/program"}, {}, -1},
      {{}, {}, -1},
  };
  GioProcesses processes;
  for (const auto& c : cases) {
    std::vector<std::string> lines;
    std::optional<int> status;
    auto running = processes.start(
        c.argv, {[&](const std::string& l) { lines.push_back(l); }, [&](int s) { status = s; }});
    EXPECT_FALSE(status);
    ASSERT_TRUE(runUntil([&] { return status.has_value(); }));
    EXPECT_EQ(*status, c.status);
    if (!c.lines.empty()) {
      EXPECT_EQ(lines, c.lines);
    }
  }
  // Let go while running: killed, and nothing is reported.
  bool reported = false;
  auto running =
      processes.start({"/bin/sh", "-c", "sleep 30"}, {nullptr, [&](int) { reported = true; }});
  running.reset();
  talvane::testing::spin(0.2);
  EXPECT_FALSE(reported);
}

class RemoteForward : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(testing::kRelayPath.c_str(), X_OK) != 0)
      GTEST_SKIP() << testing::kRelayPath << " is not built";
    std::string why;
    server = testing::LoopbackSshd::start(dir.path(), &why);
    ASSERT_TRUE(server) << why;
    ::setenv("TALVANE_SSH", server->wrapper().c_str(), 1);
    host = {"remote", server->remoteHome(), "remote", "", {"claude"}, false};
    local = RemoteLinks::localSocketPath(host.destination);
    bridge = std::make_unique<Bridge>(router, Bridge::Remote{local, host.destination});
    bridge->start();
    ASSERT_TRUE(bridge->listening());
  }
  void TearDown() override {
    links.stop();
    ::unsetenv("TALVANE_SSH");
  }

  bool connected() {
    auto s = links.status(host.destination);
    return s && s->state == LinkState::connected;
  }

  testing::TestHome home;
  testing::TempDir dir;
  std::unique_ptr<testing::LoopbackSshd> server;
  GLibLoop loop;
  GioProcesses processes;
  RemoteLinks links{loop, processes};
  FakeRouter router;
  std::unique_ptr<Bridge> bridge;
  RemoteHost host;
  std::string local;
};

TEST_F(RemoteForward, EventsAndAnswersCrossTheForwardAndItRecoversFromADrop) {
  router.behaviour = [](FakeRouter::Call& call) -> std::optional<std::string> {
    if (json::string(call.message, "hook_event_name") == "PermissionRequest") return "p1";
    return std::nullopt;
  };
  links.add(host, local);
  ASSERT_TRUE(runUntil([&] { return connected(); }, 30)) << links.status("remote")->detail;
  struct stat run {};
  ASSERT_EQ(::stat(remoteRunDirectory(server->remoteHome()).c_str(), &run), 0);
  EXPECT_EQ(run.st_mode & 0777, 0700u);

  {
    RemoteRelay relay(processes, *server,
                      R"({"hook_event_name":"Notification","session_id":"r1"})");
    ASSERT_TRUE(runUntil([&] { return relay.status && router.calls.size() == 1; }, 20));
    EXPECT_EQ(router.calls[0].message["_remote"], "remote");
    EXPECT_EQ(json::string(router.calls[0].message, "session_id"), "r1");
  }

  // A permission request waits on the remote until the app answers it here.
  const std::string answer =
      R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest","decision":{"behavior":"allow"}}})";
  {
    RemoteRelay relay(processes, *server,
                      R"({"hook_event_name":"PermissionRequest","session_id":"r1",)"
                      R"("tool_name":"Bash","tool_input":{"command":"ls"}})");
    ASSERT_TRUE(runUntil([&] { return bridge->heldConnections() == 1; }, 20));
    EXPECT_FALSE(relay.status) << "the relay waits for its answer";
    router.calls.back().reply(answer);
    ASSERT_TRUE(runUntil([&] { return relay.status.has_value(); }, 20));
    EXPECT_EQ(*relay.status, 0);
    EXPECT_EQ(relay.output, answer + "\n");
  }

  // The forward drops while a relay waits: the relay fails open, the link comes back.
  router.calls.clear();
  RemoteRelay waiting(processes, *server,
                      R"({"hook_event_name":"PermissionRequest","session_id":"r2",)"
                      R"("tool_name":"Bash","tool_input":{"command":"ls"}})");
  ASSERT_TRUE(runUntil([&] { return bridge->heldConnections() == 1; }, 20));
  const pid_t forward = findProcess(local);
  ASSERT_GT(forward, 0);
  ASSERT_EQ(::kill(forward, SIGKILL), 0);
  ASSERT_TRUE(runUntil([&] { return waiting.status.has_value(); }, 20));
  EXPECT_EQ(*waiting.status, 0);
  EXPECT_EQ(waiting.output, "");
  ASSERT_TRUE(runUntil([&] { return !connected(); }, 20));
  EXPECT_EQ(links.status("remote")->state, LinkState::retrying);
  ASSERT_TRUE(runUntil([&] { return !router.gone.empty(); }, 20));
  ASSERT_TRUE(runUntil([&] { return connected(); }, 30)) << links.status("remote")->detail;

  router.calls.clear();
  RemoteRelay again(processes, *server, R"({"hook_event_name":"Notification","session_id":"r3"})");
  ASSERT_TRUE(runUntil([&] { return again.status && router.calls.size() == 1; }, 20));
  EXPECT_EQ(router.calls[0].message["_remote"], "remote");
}

TEST_F(RemoteForward, AHostWithoutKeyAuthenticationSaysSoWithoutAPrompt) {
  RemoteHost nokey = host;
  nokey.destination = "nokey";
  links.add(nokey, RemoteLinks::localSocketPath("nokey"));
  ASSERT_TRUE(
      runUntil([&] { return links.status("nokey")->state == LinkState::authentication; }, 30));
  EXPECT_NE(links.status("nokey")->detail.find("key or agent"), std::string::npos);
}

}  // namespace
}  // namespace talvane::remote

// The real talvane-hook against the Bridge: what an agent sees on the relay's stdout.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "bridge_fakes.h"
#include "platform/files.h"
#include "support/test_home.h"

extern char** environ;

namespace talvane {
namespace {

using testing::FakeRouter;
using testing::runUntil;

const std::string kRelay = TALVANE_BIN_DIR "/talvane-hook";

// One relay process: the payload goes in on stdin, its stdout is collected without blocking
// the loop the Bridge runs on.
class RelayRun {
 public:
  RelayRun(const std::vector<std::string>& args, const std::string& payload) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> argv{kRelay};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    if (posix_spawn(&pid_, kRelay.c_str(), &actions, nullptr, raw.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    out_.reset(out[0]);
    ::fcntl(out_.get(), F_SETFL, O_NONBLOCK);
    // Payloads here are far below a pipe's capacity, so this write cannot block.
    [[maybe_unused]] ssize_t n = ::write(in[1], payload.data(), payload.size());
    ::close(in[1]);
  }
  ~RelayRun() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool started() const { return pid_ > 0; }

  // True once the relay exited; its output is then complete.
  bool finished() {
    drain();
    if (!exited_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) {
      exited_ = true;
      drain();
    }
    return exited_;
  }
  int exitStatus() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
  const std::string& output() const { return output_; }

 private:
  void drain() {
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(out_.get(), chunk, sizeof chunk)) > 0)
      output_.append(chunk, static_cast<size_t>(n));
  }

  pid_t pid_ = -1;
  UniqueFd out_;
  bool exited_ = false;
  int status_ = 0;
  std::string output_;
};

class RelayRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kRelay.c_str(), X_OK) != 0) GTEST_SKIP() << kRelay << " is not built";
    bridge = std::make_unique<Bridge>(router);
    bridge->start();
    ASSERT_TRUE(bridge->listening());
  }

  testing::TestHome home;
  FakeRouter router;
  std::unique_ptr<Bridge> bridge;
};

TEST_F(RelayRoundTrip, PermissionAnsweredByTheRouterReachesTheRelaysStdout) {
  router.behaviour = [](FakeRouter::Call& call) -> std::optional<std::string> {
    if (json::string(call.message, "hook_event_name") == "PermissionRequest") return "p1";
    return std::nullopt;
  };
  RelayRun relay({"claude"}, R"({"hook_event_name":"PermissionRequest","session_id":"s1",)"
                             R"("tool_name":"Bash","tool_input":{"command":"ls"}})");
  ASSERT_TRUE(relay.started());
  ASSERT_TRUE(runUntil([&] { return bridge->heldConnections() == 1; }));
  const Json& message = router.calls.at(0).message;
  EXPECT_EQ(router.calls[0].family, "claude");
  EXPECT_EQ(json::string(message, "_agent"), "claude");
  EXPECT_NE(json::object(message, "_host"), nullptr);
  EXPECT_EQ(json::string(message, "session_id"), "s1");
  EXPECT_FALSE(relay.finished()) << "the relay waits for its answer";

  const std::string answer =
      R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest","decision":{"behavior":"allow"}}})";
  router.calls[0].reply(answer);
  ASSERT_TRUE(runUntil([&] { return relay.finished(); }));
  EXPECT_EQ(relay.exitStatus(), 0);
  EXPECT_EQ(relay.output(), answer + "\n");
  EXPECT_TRUE(router.gone.empty());
}

TEST_F(RelayRoundTrip, NonWaitingEventsAreRoutedAndTheRelayLeavesAtOnce) {
  RelayRun relay({"gemini"}, R"({"hook_event_name":"BeforeTool","session_id":"g1"})");
  ASSERT_TRUE(relay.started());
  ASSERT_TRUE(runUntil([&] { return relay.finished() && router.calls.size() == 1; }));
  EXPECT_EQ(relay.output(), "");
  EXPECT_EQ(router.calls[0].family, "adapted");
  ASSERT_TRUE(runUntil([&] { return bridge->openConnections() == 0; }));
}

TEST_F(RelayRoundTrip, RelayKilledWhileWaitingWithdrawsTheRequest) {
  router.behaviour = [](FakeRouter::Call&) { return std::optional<std::string>("p2"); };
  {
    RelayRun relay({"cursor"}, R"({"hook_event_name":"stop","conversation_id":"c1"})");
    ASSERT_TRUE(runUntil([&] { return bridge->heldConnections() == 1; }));
    EXPECT_EQ(router.calls.at(0).family, "cursor");
  }  // killed, as the agent's hook time-out would
  ASSERT_TRUE(runUntil([&] { return !router.gone.empty(); }));
  EXPECT_EQ(router.gone, std::vector<std::string>{"p2"});
}

}  // namespace
}  // namespace talvane

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
#include "support/relay_process.h"
#include "support/test_home.h"

extern char** environ;

namespace talvane {
namespace {

using testing::FakeRouter;
using testing::runUntil;

using RelayRun = testing::RelayProcess;
const std::string& kRelay = testing::kRelayPath;

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

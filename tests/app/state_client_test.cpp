#include "app/state_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "bridge/bridge.h"
#include "bridge/bridge_fakes.h"
#include "platform/files.h"
#include "platform/json.h"
#include "support/test_home.h"

namespace talvane {
namespace {

using testing::runUntil;

// The client blocks, so it runs beside the main loop that serves the Bridge.
struct QueryRun {
  explicit QueryRun(double timeout)
      : thread([this, timeout] {
          answer = queryState(timeout, &failure);
          done = true;
        }) {}
  ~QueryRun() { thread.join(); }

  std::optional<std::string> answer;
  std::string failure;
  std::atomic<bool> done{false};
  std::thread thread;
};

TEST(QueryState, ReturnsTheRunningAppsSnapshot) {
  testing::TestHome home;
  testing::FakeRouter router;
  router.state = Json::parse(R"({"sessions":[{"id":"claude:a"}],"hidden":0})");
  Bridge bridge(router);
  bridge.start();
  QueryRun query(5);
  ASSERT_TRUE(runUntil([&] { return query.done.load(); }));
  ASSERT_TRUE(query.answer) << query.failure;
  EXPECT_EQ(*query.answer, json::pretty(router.state) + "\n");
  EXPECT_TRUE(router.calls.empty());
}

TEST(QueryState, NoAppListening) {
  testing::TestHome home;
  std::string failure;
  EXPECT_EQ(queryState(1, &failure), std::nullopt);
  EXPECT_EQ(failure, "no app is listening on " + home.path() + "/.talvane/run/talvane.sock");

  // A socket file left behind by an app that is gone reads the same.
  testing::FakeRouter router;
  {
    Bridge gone(router);
    gone.start();
  }
  ASSERT_TRUE(files::exists(bridgeSocketPath()));
  EXPECT_EQ(queryState(1, &failure), std::nullopt);
  EXPECT_EQ(failure, "no app is listening on " + bridgeSocketPath());
}

TEST(QueryState, GivesUpOnAnAppThatNeverAnswers) {
  testing::TestHome home;
  files::makeDirs(bridgeDirectory(), 0700);
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, bridgeSocketPath().c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 4), 0);  // and never accepts

  std::string failure;
  EXPECT_EQ(queryState(0.2, &failure), std::nullopt);
  EXPECT_EQ(failure, "the app at " + bridgeSocketPath() + " did not answer within 0.2 s");
}

}  // namespace
}  // namespace talvane

#include "app/remote_service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "bridge/bridge_fakes.h"
#include "platform/json.h"
#include "platform/manual_loop.h"
#include "platform/settings_store.h"
#include "remote/remote_hosts.h"
#include "support/fake_processes.h"
#include "support/test_home.h"

namespace talvane {
namespace {

using remote::RemoteLinks;
using testing::FakeProcesses;

class RemoteServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service.onChange = [this] { ++changes; };
    service.start();
  }
  Json host(const std::string& destination) {
    return {{"destination", destination}, {"home", "/home/me"},   {"machine", "devbox"},
            {"arch", "x86_64"},           {"agents", {"claude"}}, {"codex", true}};
  }

  testing::TestHome home;
  ManualLoop loop;
  MemorySettingsStore store;
  testing::FakeRouter router;
  FakeProcesses processes;
  RemoteService service{loop, router, store, processes};
  int changes = 0;
};

// The command line's queries, on the app's own socket, as `talvane remote` sends them.
TEST_F(RemoteServiceTest, QueriesAddListAndRemoveHostsAndTheirLinks) {
  Bridge bridge(router);
  service.answerQueries(bridge);
  bridge.start();
  auto ask = [](const Json& request) {
    testing::Client client;
    client.send(json::compact(request) + "\n");
    EXPECT_TRUE(testing::runUntil([&] { return client.ended(); }));
    return json::parseObject(client.received()).value_or(Json());
  };

  EXPECT_EQ(ask({{"_query", "remoteAdd"}, {"host", host("me@dev")}}), (Json{{"ok", true}}));
  EXPECT_EQ(ask({{"_query", "remoteAdd"}, {"host", {{"destination", "-oX"}, {"home", "/"}}}})["ok"],
            false);
  EXPECT_EQ(remote::RemoteHosts::load(store).size(), 1u);
  ASSERT_EQ(processes.started.size(), 1u) << "the link starts at once";
  const std::string socket = RemoteLinks::localSocketPath("me@dev");
  EXPECT_EQ(::access(socket.c_str(), F_OK), 0) << "its listener is up before the forward";

  EXPECT_EQ(ask({{"_query", "remotes"}}), (Json{{"hosts",
                                                 {{{"destination", "me@dev"},
                                                   {"machine", "devbox"},
                                                   {"state", "connecting"},
                                                   {"detail", ""},
                                                   {"codex", true}}}}}));

  EXPECT_EQ(ask({{"_query", "remoteRemove"}, {"destination", "me@dev"}}),
            (Json{{"ok", true}, {"removed", true}}));
  EXPECT_FALSE(processes.last().alive);
  EXPECT_NE(::access(socket.c_str(), F_OK), 0);
  EXPECT_EQ(ask({{"_query", "remoteRemove"}, {"destination", "me@dev"}})["removed"], false);
  EXPECT_GT(changes, 0);
}

TEST_F(RemoteServiceTest, PageCommandRunsTheCommandOnceAndKeepsItsLastLine) {
  service.runCommand("add", "me@new");
  ASSERT_EQ(processes.started.size(), 1u);
  const auto argv = processes.last().argv;
  ASSERT_EQ(argv.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(argv.begin() + 1, argv.end()),
            (std::vector<std::string>{"remote", "add", "me@new"}));
  EXPECT_EQ(service.pageJson()["busy"], "me@new");
  service.runCommand("remove", "other");
  EXPECT_EQ(processes.started.size(), 1u) << "one command at a time";

  processes.exit(1, {"Copying the relay…", "me@new is aarch64; this relay is x86_64", ""});
  const Json page = service.pageJson();
  EXPECT_TRUE(page["busy"].is_null());
  EXPECT_EQ(page["message"], "me@new is aarch64; this relay is x86_64");
  service.runCommand("remove", "me@new");
  processes.exit(2);
  EXPECT_EQ(service.pageJson()["message"], "talvane remote remove failed.");
}

}  // namespace
}  // namespace talvane

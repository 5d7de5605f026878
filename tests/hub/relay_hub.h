#pragma once
// The real talvane-hook against a real Bridge routing into a real Hub on the GLib loop, as an
// agent sees it: payload on the relay's stdin, answer on its stdout.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "hub/hub.h"
#include "platform/event_loop.h"
#include "platform/gobject.h"
#include "platform/settings_store.h"
#include "support/relay_process.h"
#include "support/test_home.h"

extern char** environ;

namespace talvane::testing {

class RelayHubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kRelayPath.c_str(), X_OK) != 0) GTEST_SKIP() << kRelayPath << " is not built";
    HubSettings settings;
    settings.debugAnswer = [] { return std::optional<std::string>(); };
    settings.replyWindow = [] { return 60; };
    // No `gh`: a stop's pull-request refresh must not start child processes.
    hub = std::make_unique<Hub>(loop, store, settings,
                                std::make_unique<GitHub>(loop, GitHub::Programs{{}, "/bin/false"}));
    bridge = std::make_unique<Bridge>(*hub);
    bridge->start();
    ASSERT_TRUE(bridge->listening());
  }
  void TearDown() override {
    if (bridge) bridge->stop();
    bridge.reset();
    hub.reset();
  }

  // Runs the relay and waits until the Hub holds its connection for a request.
  void expectHeld(RelayProcess& relay) {
    ASSERT_TRUE(relay.started());
    ASSERT_TRUE(runUntil([&] { return bridge->heldConnections() == 1; }));
    EXPECT_FALSE(relay.finished()) << "the relay waits for its answer";
  }

  TestHome home;
  GLibLoop loop;
  MemorySettingsStore store;
  std::unique_ptr<Hub> hub;
  std::unique_ptr<Bridge> bridge;
};

}  // namespace talvane::testing

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
#include "support/test_home.h"

extern char** environ;

namespace talvane::testing {

inline const std::string kRelayPath = TALVANE_BIN_DIR "/talvane-hook";

// One relay process; its stdout is collected without blocking the loop the Bridge runs on.
class RelayProcess {
 public:
  RelayProcess(const std::vector<std::string>& args, const std::string& payload) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> argv{kRelayPath};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    if (posix_spawn(&pid_, kRelayPath.c_str(), &actions, nullptr, raw.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    out_.reset(out[0]);
    ::fcntl(out_.get(), F_SETFL, O_NONBLOCK);
    // Far below a pipe's capacity: this write cannot block.
    [[maybe_unused]] ssize_t n = ::write(in[1], payload.data(), payload.size());
    ::close(in[1]);
  }
  ~RelayProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  RelayProcess(const RelayProcess&) = delete;
  RelayProcess& operator=(const RelayProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // True once the relay exited; its output is then complete.
  bool finished() {
    drain();
    if (!exited_ && pid_ > 0 && ::waitpid(pid_, &status_, WNOHANG) == pid_) {
      exited_ = true;
      drain();
    }
    return exited_;
  }
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

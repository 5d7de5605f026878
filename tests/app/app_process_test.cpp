// The app and the relay as real processes in a temporary home: the answers an agent receives
// when TALVANE_DEBUG_ANSWER answers every request, and what `talvane state` shows meanwhile.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <optional>
#include <thread>
#include <vector>

#include "platform/json.h"
#include "support/relay_process.h"
#include "support/test_home.h"

namespace talvane {
namespace {

const std::string kApp = TALVANE_BIN_DIR "/talvane";

// A child process with its stdout collected; killed when it goes out of scope.
class Child {
 public:
  Child(std::vector<std::string> argv, std::vector<std::string> env) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> rawArgs, rawEnv;
    for (auto& a : argv) rawArgs.push_back(a.data());
    for (auto& e : env) rawEnv.push_back(e.data());
    rawArgs.push_back(nullptr);
    rawEnv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, rawArgs.data(), rawEnv.data()))
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_.reset(out[0]);
    ::fcntl(out_.get(), F_SETFL, O_NONBLOCK);
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGCONT);
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  void signal(int number) { ::kill(pid_, number); }
  pid_t pid() const { return pid_; }
  // The wait status once the child has ended, without waiting for it; nullopt while it runs.
  std::optional<int> ended() {
    int status = 0;
    if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) != pid_) return ended_;
    pid_ = -1;
    ended_ = status;
    return ended_;
  }
  const std::string& output() {
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(out_.get(), chunk, sizeof chunk)) > 0) output_.append(chunk, size_t(n));
    return output_;
  }
  // Stops the child politely and returns its exit status.
  int terminate() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> ended_;
  UniqueFd out_;
  std::string output_;
};

class AppProcess : public ::testing::Test {
 protected:
  void start(const std::string& answer) {
    if (::access(kApp.c_str(), X_OK) != 0 || ::access(testing::kRelayPath.c_str(), X_OK) != 0)
      GTEST_SKIP() << "talvane and talvane-hook are not built";
    app = launch({"TALVANE_DEBUG_ANSWER=" + answer});
  }
  static std::unique_ptr<Child> launch(std::vector<std::string> env = {}) {
    auto child = std::make_unique<Child>(std::vector<std::string>{kApp, "--web", "--port", "0"},
                                         std::move(env));
    EXPECT_TRUE(testing::runUntil([&] {
      return child->output().find("Talvane panel: http://127.0.0.1:") != std::string::npos;
    }));
    return child;
  }
  std::string socketPath() const { return home.path() + "/.talvane/run/talvane.sock"; }
  std::string relay(const std::string& event, const Json& extra) {
    Json payload = {{"hook_event_name", event}, {"session_id", "s1"}, {"cwd", home.path()}};
    payload.update(extra);
    testing::RelayProcess relay({"claude"}, payload.dump());
    EXPECT_TRUE(testing::runUntil([&] { return relay.finished(); }, 20));
    return relay.output();
  }
  Json state() {
    Child cli({kApp, "state"}, {});
    Json parsed;
    EXPECT_TRUE(testing::runUntil([&] {
      auto p = json::parseObject(cli.output());
      if (p) parsed = *p;
      return p.has_value();
    }));
    return parsed;
  }

  testing::TestHome home;
  std::unique_ptr<Child> app;
};

TEST_F(AppProcess, AllowIsPrintedForAPermissionRequestAndStateFollowsTheTurn) {
  start("allow");
  relay("UserPromptSubmit", {{"prompt", "list the files"}});
  relay("PreToolUse", {{"tool_name", "Read"}, {"tool_input", {{"file_path", "/tmp/a.txt"}}}});
  Json s = state()["sessions"][0];
  EXPECT_EQ(s["id"], "claude:s1");
  EXPECT_EQ(s["mood"], "working");
  EXPECT_EQ(s["activity"], "Reading a.txt");
  ASSERT_EQ(s["tools"].size(), 1u);
  EXPECT_EQ(s["tools"][0]["running"], true);

  std::string out =
      relay("PermissionRequest", {{"tool_name", "Bash"}, {"tool_input", {{"command", "ls"}}}});
  EXPECT_EQ(
      out,
      R"({"hookSpecificOutput":{"decision":{"behavior":"allow"},"hookEventName":"PermissionRequest"}})"
      "\n");
  s = state()["sessions"][0];
  EXPECT_EQ(s["mood"], "working");
  EXPECT_FALSE(s.contains("pending"));
}

TEST_F(AppProcess, DenyCarriesTheMessage) {
  start("deny");
  std::string out = relay("PermissionRequest",
                          {{"tool_name", "Bash"}, {"tool_input", {{"command", "rm -rf build"}}}});
  auto answer = json::parseObject(out);
  ASSERT_TRUE(answer) << out;
  EXPECT_EQ((*answer)["hookSpecificOutput"]["decision"],
            (Json{{"behavior", "deny"}, {"message", "The user denied this from the notch."}}));
  EXPECT_EQ(state()["sessions"][0]["activity"], "Denied from the notch");
}

TEST_F(AppProcess, AWordAnswersQuestionsAndRepliesAfterAStop) {
  start("yes");
  const Json questions = {{"questions",
                           {{{"question", "Which database?"},
                             {"header", "DB"},
                             {"options", {{{"label", "SQLite"}}, {{"label", "Postgres"}}}}},
                            {{"question", "Ship it?"},
                             {"header", "Ship"},
                             {"options", {{{"label", "yes"}}, {{"label", "no"}}}}}}}};
  auto asked = json::parseObject(
      relay("PermissionRequest", {{"tool_name", "AskUserQuestion"}, {"tool_input", questions}}));
  ASSERT_TRUE(asked);
  const Json& decision = (*asked)["hookSpecificOutput"]["decision"];
  EXPECT_EQ(decision["behavior"], "allow");
  EXPECT_EQ(decision["updatedInput"]["answers"],
            (Json{{"Which database?", "yes"}, {"Ship it?", "yes"}}));
  EXPECT_EQ(decision["updatedInput"]["questions"], questions["questions"]);

  auto replied = json::parseObject(relay("Stop", {{"last_assistant_message", "All done."}}));
  ASSERT_TRUE(replied);
  EXPECT_EQ(*replied, (Json{{"hookSpecificOutput",
                             {{"hookEventName", "Stop"},
                              {"additionalContext",
                               "The user replied from the Talvane notch. Treat this as their next "
                               "message:\n\nyes"}}},
                            {"systemMessage", "Replied from the notch: yes"}}));
  Json s = state()["sessions"][0];
  EXPECT_EQ(s["activity"], "Thinking");
  EXPECT_EQ(s["title"], "yes");
}

TEST_F(AppProcess, TerminatingRemovesTheSocket) {
  start("allow");
  const std::string socket = home.path() + "/.talvane/run/talvane.sock";
  EXPECT_EQ(::access(socket.c_str(), F_OK), 0);
  EXPECT_EQ(app->terminate(), 0);
  EXPECT_NE(::access(socket.c_str(), F_OK), 0);
}

// A second start replaces the first: the first is gone before the second serves anything, and
// the socket the second bound survives the first's exit.
TEST_F(AppProcess, ANewCopyTakesOverAndKeepsItsSocket) {
  start("allow");
  std::unique_ptr<Child> second = launch();
  // The older copy lets go of the lock before its last teardown: it may still be on its way out.
  ASSERT_TRUE(testing::runUntil([&] { return app->ended().has_value(); }))
      << "the older copy runs on";
  std::optional<int> first = app->ended();
  EXPECT_TRUE(WIFEXITED(*first) && WEXITSTATUS(*first) == 0);
  EXPECT_EQ(::access(socketPath().c_str(), F_OK), 0) << "the old copy removed the new socket";
  EXPECT_TRUE(state().contains("sessions"));
  EXPECT_EQ(relay("PreToolUse", {{"tool_name", "Read"}}), "");
  EXPECT_EQ(state()["sessions"].size(), 1u) << "the hook did not reach the new copy";
  EXPECT_EQ(second->terminate(), 0);
  EXPECT_NE(::access(socketPath().c_str(), F_OK), 0);
}

TEST_F(AppProcess, AnOlderCopyThatDoesNotQuitIsForcedBeforeTheNewOneStarts) {
  start("allow");
  app->signal(SIGSTOP);  // cannot act on SIGTERM
  std::unique_ptr<Child> second = launch();
  ASSERT_TRUE(testing::runUntil([&] { return app->ended().has_value(); }))
      << "the older copy runs on";
  std::optional<int> first = app->ended();
  EXPECT_TRUE(WIFSIGNALED(*first) && WTERMSIG(*first) == SIGKILL);
  EXPECT_EQ(::access(socketPath().c_str(), F_OK), 0);
  EXPECT_TRUE(state().contains("sessions"));
}

// A connection to the app's socket with `line` sent on it; none when nothing listens.
UniqueFd sendLine(const std::string& socket, const std::string& line) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket.c_str());
  if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::send(fd.get(), line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size()))
    return {};
  return fd;
}

// What the app answers `line` until it closes; nullopt when nothing listens.
std::optional<std::string> ask(const std::string& socket, const std::string& line) {
  UniqueFd fd = sendLine(socket, line);
  if (!fd) return std::nullopt;
  timeval limit{10, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string reply;
  char chunk[4096];
  for (ssize_t n; (n = ::read(fd.get(), chunk, sizeof chunk)) > 0;) reply.append(chunk, size_t(n));
  return reply;
}

// Copy after copy takes over while relays keep writing and every third older copy is frozen (so
// it must be forced): after each handover the older copy ends and the newer one answers on the
// socket.
TEST_F(AppProcess, ThirtyTakeoversUnderLoadEachLeaveACopyThatListens) {
  start("allow");
  std::atomic<bool> done{false};
  std::atomic<int> sent{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&, w] {
      for (int n = 0; !done; ++n) {
        const Json event = {{"hook_event_name", "PreToolUse"},
                            {"session_id", "w" + std::to_string(w)},
                            {"tool_name", "Read"},
                            {"tool_input", {{"file_path", "/tmp/" + std::to_string(n)}}}};
        if (sendLine(socketPath(), json::compact(event) + "\n")) {
          ++sent;
        } else {
          // Between two copies: no need to spin meanwhile (load, not timing).
          timespec pause{0, 2000000};
          ::nanosleep(&pause, nullptr);
        }
      }
    });
  }
  std::unique_ptr<Child> older = std::move(app);
  for (int round = 0; round < 30 && !HasFailure(); ++round) {
    SCOPED_TRACE(round);
    if (round % 3 == 2) older->signal(SIGSTOP);
    std::unique_ptr<Child> newer = launch();
    // (It lets go before its last teardown, so it may still be on its way out.)
    EXPECT_TRUE(testing::runUntil([&] { return older->ended().has_value(); }))
        << "the older copy runs on";
    const auto state = ask(socketPath(), "{\"_query\":\"state\"}\n");
    ASSERT_TRUE(state) << "no copy listens";
    EXPECT_TRUE(json::parseObject(*state).has_value()) << *state;
    older = std::move(newer);
  }
  done = true;
  for (std::thread& writer : writers) writer.join();
  EXPECT_GT(sent.load(), 0);
  EXPECT_EQ(older->terminate(), 0);
}

// A copy from before the lock only left its pid in talvane.pid; it is replaced all the same.
TEST_F(AppProcess, ACopyKnownOnlyByItsPidFileIsReplacedToo) {
  if (::access(kApp.c_str(), X_OK) != 0) GTEST_SKIP() << "talvane is not built";
  Child legacy({kApp}, {"TALVANE_LAUNCH_CHECK=1"});  // idle, holds no lock
  ASSERT_TRUE(legacy.pid() > 0);
  home.write(".talvane/run/talvane.pid", std::to_string(legacy.pid()) + "\n");
  // Not before it runs as the app (`talvane` goes on in talvane-app): a copy is recognised by
  // its program.
  ASSERT_TRUE(testing::runUntil([&] {
    char exe[4096];
    ssize_t n =
        ::readlink(("/proc/" + std::to_string(legacy.pid()) + "/exe").c_str(), exe, sizeof exe);
    return n > 0 && std::string(exe, size_t(n)) == kApp + "-app";
  }));
  std::unique_ptr<Child> app = launch();
  // (It may still be loading its libraries when asked to quit; how it ends does not matter.)
  EXPECT_TRUE(legacy.ended()) << "two copies run at once";
}

// A takeover's SIGTERM may come at any point of startup: before the listener exists, while it
// starts, or once the panel is served. Every time the socket goes with the app and a relay that
// was waiting gets its answer (none).
TEST(AppSignals, TerminatingAtAnyPointOfStartupRemovesTheSocketAndReleasesRelays) {
  if (::access(kApp.c_str(), X_OK) != 0 || ::access(testing::kRelayPath.c_str(), X_OK) != 0)
    GTEST_SKIP() << "talvane and talvane-hook are not built";
  for (int delayMs : {0, 5, 20, 100, 300}) {
    SCOPED_TRACE(delayMs);
    testing::TestHome home;
    const std::string socket = home.path() + "/.talvane/run/talvane.sock";
    Child app({kApp, "--web", "--port", "0"}, {});
    timespec pause{0, delayMs * 1000000L};
    ::nanosleep(&pause, nullptr);
    const Json ask = {{"hook_event_name", "PermissionRequest"},
                      {"session_id", "s1"},
                      {"tool_name", "Bash"},
                      {"tool_input", {{"command", "ls"}}}};
    testing::RelayProcess relay({"claude"}, ask.dump());
    app.terminate();
    EXPECT_NE(::access(socket.c_str(), F_OK), 0) << "the socket file outlived the app";
    EXPECT_TRUE(testing::runUntil([&] { return relay.finished(); }, 20)) << "a relay still waits";
    EXPECT_EQ(relay.exitStatus(), 0);
    EXPECT_EQ(relay.output(), "");
  }
}

// `talvane usage` asks the running app's meter, and reads the transcripts itself without one.
TEST_F(AppProcess, UsageComesFromTheRunningAppOrFromTheTranscripts) {
  if (::access(kApp.c_str(), X_OK) != 0) GTEST_SKIP() << "talvane is not built";
  const auto now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[40];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S.000Z", &utc);
  const std::string transcript = home.write(
      ".claude/projects/-w/s1.jsonl",
      std::string(R"({"type":"assistant","timestamp":")") + stamp +
          R"(","message":{"id":"m1","model":"claude-haiku-4-5","usage":{"output_tokens":1000}}})"
          "\n");
  const auto usage = [] {
    Child cli({kApp, "usage", "--json"}, {});
    std::optional<Json> totals;
    EXPECT_TRUE(
        testing::runUntil([&] { return (totals = json::parseObject(cli.output())).has_value(); }));
    return totals.value_or(Json());
  };
  const Json expected = {{"today", 0.005},
                         {"models", {{{"model", "Haiku 4.5"}, {"cost", 0.005}, {"tokens", 1000}}}}};
  EXPECT_EQ(usage(), expected) << "no app: read from the transcripts";

  start("allow");
  // Once the app has read the transcript, its meter answers even when the file is gone.
  ASSERT_TRUE(testing::runUntil([&] { return usage() == expected; }));
  ::unlink(transcript.c_str());
  EXPECT_EQ(usage(), expected);
  app->terminate();
  EXPECT_EQ(usage()["models"], Json::array());
}

}  // namespace
}  // namespace talvane

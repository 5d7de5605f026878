// talvane-hook run as a real process against a real listening socket in a temporary home.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "integrations/hook_installer.h"
#include "platform/gobject.h"
#include "relay/process_table.h"
#include "relay/relay.h"
#include "support/test_home.h"

extern char** environ;

namespace talvane {
namespace {

using Json = nlohmann::json;
using testing::TempDir;

constexpr int kTimeoutMs = 10000;

struct Outcome {
  std::string out;
  std::string err;
  bool exitedZero = false;
};

// One talvane-hook process with HOME set to `home`, fed `input` on standard input.
class RelayProcess {
 public:
  RelayProcess(const std::string& home, const std::vector<std::string>& args,
               const std::string& input, bool closeStdout = false)
      : RelayProcess(home, relayCommand(args), input, closeStdout) {}

  // Any command line, e.g. the hook command through a shell.
  struct Command {
    explicit Command(std::vector<std::string> words) : argv(std::move(words)) {}
    std::vector<std::string> argv;
  };
  RelayProcess(const std::string& home, Command command, const std::string& input,
               bool closeStdout = false) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
      ADD_FAILURE() << "pipe failed";
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (closeStdout) {
      posix_spawn_file_actions_addclose(&actions, 1);
    } else {
      posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    }
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // The test runner ignores SIGPIPE; agents leave it at its default.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      if (std::string_view(*e).starts_with("HOME=")) continue;
      env.emplace_back(*e);
    }
    env.push_back("HOME=" + home);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string>& argStrings = command.argv;
    const std::string& program = argStrings.front();
    std::vector<char*> argv;
    for (std::string& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    int rc = posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    out_.reset(out[0]);
    err_.reset(err[0]);
    if (rc != 0) {
      close(in[1]);
      pid_ = -1;
      ADD_FAILURE() << "cannot start " << program;
      return;
    }
    std::string_view rest = input;
    while (!rest.empty()) {
      ssize_t n = write(in[1], rest.data(), rest.size());
      if (n <= 0) break;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    close(in[1]);
  }

  static Command relayCommand(const std::vector<std::string>& args) {
    Command command({TALVANE_BIN_DIR "/talvane-hook"});
    command.argv.insert(command.argv.end(), args.begin(), args.end());
    return command;
  }

  ~RelayProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // Collects both outputs until the process has closed them, then its exit status.
  Outcome finish() {
    Outcome outcome;
    if (pid_ <= 0) return outcome;
    pollfd fds[2] = {{out_.get(), POLLIN, 0}, {err_.get(), POLLIN, 0}};
    std::string* sinks[2] = {&outcome.out, &outcome.err};
    int open = 2;
    while (open > 0) {
      if (poll(fds, 2, kTimeoutMs) <= 0) {
        ADD_FAILURE() << "talvane-hook did not finish";
        return outcome;
      }
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !fds[i].revents) continue;
        char buffer[4096];
        ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          sinks[i]->append(buffer, static_cast<std::size_t>(n));
        } else {
          fds[i].fd = -1;
          --open;
        }
      }
    }
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) {
      outcome.exitedZero = WIFEXITED(status) && WEXITSTATUS(status) == 0;
      pid_ = -1;
    }
    return outcome;
  }

 private:
  pid_t pid_ = -1;
  UniqueFd out_;
  UniqueFd err_;
};

// The app's listening socket at <home>/.talvane/run/talvane.sock. Bound by a relative name
// from its folder, so that it can sit at paths too long for the address structure.
class AppSocket {
 public:
  explicit AppSocket(const std::string& home) : path_(home + "/.talvane/run/talvane.sock") {
    std::string dir = home + "/.talvane/run";
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    UniqueFd here(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (chdir(dir.c_str()) != 0) ADD_FAILURE() << "chdir " << dir;
    unlink("talvane.sock");  // left by an earlier socket of the same test
    fd_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "talvane.sock");
    bool bound = bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 listen(fd_.get(), 16) == 0;
    if (fchdir(here.get()) != 0) ADD_FAILURE() << "fchdir";
    if (!bound) ADD_FAILURE() << "cannot listen on " << path_;
  }

  const std::string& path() const { return path_; }

  // The next connection; fails the test after the time-out.
  UniqueFd accept() {
    pollfd p{fd_.get(), POLLIN, 0};
    if (poll(&p, 1, kTimeoutMs) != 1) {
      ADD_FAILURE() << "no connection from talvane-hook";
      return {};
    }
    return UniqueFd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

  // Whether a connection waits to be accepted, right now.
  bool pending() const {
    pollfd p{fd_.get(), POLLIN, 0};
    return poll(&p, 1, 0) == 1;
  }

  // Connects until the listener's backlog is full, as an app that stopped accepting leaves it.
  std::vector<UniqueFd> fillBacklog() {
    std::vector<UniqueFd> queued;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, path_.c_str());
    for (int i = 0; i < 1000; ++i) {
      UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        EXPECT_EQ(errno, EAGAIN);
        return queued;
      }
      queued.push_back(std::move(fd));
    }
    ADD_FAILURE() << "the backlog never fills";
    return queued;
  }

  // Stops listening but leaves the socket file behind, as a crashed app would.
  void abandon() { fd_.reset(); }

 private:
  std::string path_;
  UniqueFd fd_;
};

// Reads from a connection until a line feed or the end; nullopt on a time-out.
std::optional<std::string> readLine(int fd) {
  std::string data;
  while (data.empty() || data.back() != '\n') {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kTimeoutMs) != 1) return std::nullopt;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return data;
}

// True when the peer closes the connection without sending anything more.
bool closedByPeer(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, kTimeoutMs) != 1) return false;
  char byte;
  return read(fd, &byte, 1) == 0;
}

void sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ASSERT_GT(n, 0);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Returns once the relay has read everything sent so far, so that the next piece arrives in a
// read of its own.
void waitUntilRead(int fd) {
  for (int i = 0; i < 100000; ++i) {
    int queued = 0;
    ASSERT_EQ(ioctl(fd, SIOCOUTQ, &queued), 0);
    if (queued == 0) return;
    timespec pause{0, 100000};
    nanosleep(&pause, nullptr);
  }
  FAIL() << "talvane-hook does not read";
}

Json parseLine(const std::string& line) {
  EXPECT_TRUE(line.ends_with("\n"));
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line only";
  return Json::parse(line, nullptr, false);
}

class RelayProcessTest : public ::testing::Test {
 protected:
  // No app listening: standard output for the given arguments and input.
  std::string runAlone(const std::vector<std::string>& args, const std::string& input) {
    Outcome outcome = RelayProcess(home_.path(), args, input).finish();
    EXPECT_TRUE(outcome.exitedZero);
    EXPECT_EQ(outcome.err, "");
    return outcome.out;
  }

  // The line the app receives, after which the relay must hang up without waiting.
  Json forward(const std::vector<std::string>& args, const std::string& input,
               std::string* out = nullptr) {
    AppSocket app(home_.path());
    RelayProcess relay(home_.path(), args, input);
    UniqueFd connection = app.accept();
    std::optional<std::string> line = readLine(connection.get());
    EXPECT_TRUE(line.has_value());
    EXPECT_TRUE(closedByPeer(connection.get())) << "relay should not wait";
    Outcome outcome = relay.finish();
    EXPECT_TRUE(outcome.exitedZero);
    EXPECT_EQ(outcome.err, "");
    if (out) *out = outcome.out;
    return line ? parseLine(*line) : Json();
  }

  // Standard output when the app answers the event with `pieces`, sent one read apart, and
  // then hangs up.
  std::string answer(const std::vector<std::string>& args, const std::string& input,
                     const std::vector<std::string>& pieces, Json* received = nullptr) {
    AppSocket app(home_.path());
    RelayProcess relay(home_.path(), args, input);
    UniqueFd connection = app.accept();
    std::optional<std::string> line = readLine(connection.get());
    EXPECT_TRUE(line.has_value());
    if (received && line) *received = parseLine(*line);
    for (const std::string& piece : pieces) {
      sendAll(connection.get(), piece);
      waitUntilRead(connection.get());
    }
    connection.reset();
    Outcome outcome = relay.finish();
    EXPECT_TRUE(outcome.exitedZero);
    EXPECT_EQ(outcome.err, "");
    return outcome.out;
  }

  TempDir home_;
};

TEST_F(RelayProcessTest, ForwardsThePayloadWithAgentAndHost) {
  const Json payload = {{"hook_event_name", "PreToolUse"},
                        {"session_id", "abc"},
                        {"tool_input", {{"command", "ls -l\n"}, {"n", 1.5}}},
                        {"text", "caf\u00e9 \u2014 \xF0\x9F\x98\x80"},
                        {"_agent", "spoofed"}};
  std::string out;
  // The relay inherits this process's environment.
  const char* pane = getenv("TMUX_PANE");
  const std::optional<std::string> ownPane = pane ? std::optional<std::string>(pane) : std::nullopt;
  setenv("TMUX_PANE", "%7", 1);
  Json sent = forward({}, payload.dump(2), &out);
  if (ownPane)
    setenv("TMUX_PANE", ownPane->c_str(), 1);
  else
    unsetenv("TMUX_PANE");
  EXPECT_EQ(out, "");

  Json expected = payload;
  expected["_agent"] = "claude";
  // The relay's parent is this test process, so its ancestry is ours.
  HostFacts facts = hostFacts(ancestors(ProcTable(), getpid()));
  utsname machine;
  ASSERT_EQ(uname(&machine), 0);
  facts.machine = machine.nodename;
  facts.tmuxPane = "%7";
  expected["_host"] = Relay::hostObject(facts);
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(sent["_host"].value("agentPid", 0), getpid());
  EXPECT_EQ(sent["_host"].value("tmuxPane", ""), "%7");

  sent = forward({"gemini", "BeforeTool"}, R"({"hook_event_name":"BeforeTool"})");
  EXPECT_EQ(sent["_agent"], "gemini");
}

struct ShellCase {
  std::string outer;  // what the agent runs the hook command with
  std::string inner;  // the shell the command itself names
};

class RelayUnderShellsTest : public RelayProcessTest,
                             public ::testing::WithParamInterface<ShellCase> {};

// This process plays the agent: it runs the installed hook command through a shell, and the
// relay must name it, not one of the shells that live only as long as the hook.
TEST_P(RelayUnderShellsTest, AgentPidIsTheProcessThatRanTheHookCommand) {
  const ShellCase& c = GetParam();
  if (access(c.outer.c_str(), X_OK) != 0 || access(c.inner.c_str(), X_OK) != 0)
    GTEST_SKIP() << "no " << c.outer << " or " << c.inner;
  const std::string bin = home_.path() + "/.talvane/bin";
  std::filesystem::create_directories(bin);
  std::filesystem::create_symlink(TALVANE_BIN_DIR "/talvane-hook", bin + "/talvane-hook");
  std::string command(HookInstaller::hookCommand);
  ASSERT_TRUE(command.starts_with("/bin/sh -c "));
  command.replace(0, 7, c.inner);

  AppSocket app(home_.path());
  RelayProcess relay(home_.path(), RelayProcess::Command({c.outer, "-c", command}),
                     R"({"hook_event_name":"PreToolUse","session_id":"s"})");
  UniqueFd connection = app.accept();
  std::optional<std::string> line = readLine(connection.get());
  ASSERT_TRUE(line.has_value());
  Json sent = parseLine(*line);
  EXPECT_EQ(sent["_host"].value("agentPid", 0), getpid()) << sent["_host"].dump();
  EXPECT_TRUE(relay.finish().exitedZero);
}

INSTANTIATE_TEST_SUITE_P(
    Shells, RelayUnderShellsTest,
    ::testing::Values(ShellCase{"/bin/sh", "/bin/sh"}, ShellCase{"/usr/bin/dash", "/usr/bin/dash"},
                      ShellCase{"/bin/bash", "/bin/bash"}, ShellCase{"/bin/bash", "/bin/sh"},
                      ShellCase{"/usr/bin/dash", "/bin/bash"}),
    [](const ::testing::TestParamInfo<ShellCase>& info) {
      auto name = [](const std::string& path) { return path.substr(path.rfind('/') + 1); };
      return name(info.param.outer) + "_" + name(info.param.inner);
    });

TEST_F(RelayProcessTest, EventNameFallbacks) {
  // agent_action_name names the event; hook_event_name is not added.
  Json sent = forward({"windsurf", "Other"}, R"({"agent_action_name":"pre_run_command"})");
  EXPECT_FALSE(sent.contains("hook_event_name"));
  EXPECT_EQ(sent["agent_action_name"], "pre_run_command");

  // Neither key: the command line names the event, which is added and may wait.
  Json received;
  EXPECT_EQ(answer({"gemini", "AfterAgent"}, R"({"session_id":"g"})",
                   {"{\"decision\":\"block\"}\n"}, &received),
            "{\"decision\":\"block\"}\n");
  EXPECT_EQ(received["hook_event_name"], "AfterAgent");

  // An empty or non-string name gives way to the command line too.
  EXPECT_EQ(forward({"claude", "Notification"}, R"({"hook_event_name":""})")["hook_event_name"],
            "Notification");
  EXPECT_EQ(forward({"claude", "Notification"}, R"({"hook_event_name":7})")["hook_event_name"],
            "Notification");
  // Without a second argument, nothing is invented.
  EXPECT_FALSE(forward({"claude"}, R"({"x":1})").contains("hook_event_name"));
}

struct BlockingCase {
  std::vector<std::string> args;
  std::string event;
  bool waits;
};

class RelayBlockingTest : public RelayProcessTest,
                          public ::testing::WithParamInterface<BlockingCase> {};

TEST_P(RelayBlockingTest, WaitsOnlyForTheAgentsBlockingEvents) {
  const BlockingCase& c = GetParam();
  const std::string input = Json{{"hook_event_name", c.event}, {"session_id", "s"}}.dump();
  const bool cursor = !c.args.empty() && c.args[0] == "cursor";
  if (c.waits) {
    EXPECT_EQ(answer(c.args, input, {"{\"answer\":\"" + c.event + "\"}\n"}),
              "{\"answer\":\"" + c.event + "\"}\n");
  } else {
    // The app keeps its end open; the relay must hang up and carry on by itself.
    std::string out;
    forward(c.args, input, &out);
    EXPECT_EQ(out, cursor ? "{}\n" : "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Agents, RelayBlockingTest,
    ::testing::Values(
        BlockingCase{{}, "PermissionRequest", true}, BlockingCase{{}, "Stop", true},
        BlockingCase{{}, "PreToolUse", false}, BlockingCase{{"claude"}, "PermissionRequest", true},
        BlockingCase{{"claude"}, "stop", false}, BlockingCase{{"cursor"}, "stop", true},
        BlockingCase{{"cursor"}, "Stop", false},
        BlockingCase{{"cursor"}, "beforeShellExecution", false},
        BlockingCase{{"gemini"}, "AfterAgent", true}, BlockingCase{{"gemini"}, "Stop", false},
        BlockingCase{{"droid"}, "Stop", true}, BlockingCase{{"droid"}, "PermissionRequest", false},
        BlockingCase{{"copilot"}, "Stop", false}, BlockingCase{{"windsurf"}, "Stop", false},
        BlockingCase{{"opencode"}, "PermissionRequest", false},
        BlockingCase{{"codex"}, "Stop", false}));

TEST_F(RelayProcessTest, AnswerSplitOverSeveralReads) {
  const std::string stop = R"({"hook_event_name":"Stop"})";
  EXPECT_EQ(answer({}, stop, {"{\"decision\":", "\"block\",\"reason\":\"go", " on\"}", "\n"}),
            "{\"decision\":\"block\",\"reason\":\"go on\"}\n");
  // The app hangs up after a partial line: that text is still the answer.
  EXPECT_EQ(answer({}, stop, {"{\"decision\":", "\"block\"}"}), "{\"decision\":\"block\"}\n");
  // A multi-byte character cut between two reads comes out whole.
  EXPECT_EQ(answer({}, stop, {"{\"reason\":\"\xE2\x80", "\x94\"}\n"}), "{\"reason\":\"\u2014\"}\n");
}

TEST_F(RelayProcessTest, AnswerIsTrimmedAndMadeValidText) {
  const std::string stop = R"({"hook_event_name":"Stop"})";
  EXPECT_EQ(answer({}, stop, {" \t{\"a\":1}\xC2\xA0\r\n"}), "{\"a\":1}\n");
  EXPECT_EQ(answer({}, stop, {"{\"a\":\"\xFF\"}\n"}), "{\"a\":\"\xEF\xBF\xBD\"}\n");
}

TEST_F(RelayProcessTest, EmptyOrBraceAnswerIsNoDecision) {
  const std::string stop = R"({"hook_event_name":"Stop"})";
  EXPECT_EQ(answer({}, stop, {"{}\n"}), "");
  EXPECT_EQ(answer({}, stop, {"  {}\r\n"}), "");
  EXPECT_EQ(answer({}, stop, {"\n"}), "");
  EXPECT_EQ(answer({}, stop, {}), "");  // closed without a line
  EXPECT_EQ(answer({"droid"}, stop, {"{}\n"}), "");
  EXPECT_EQ(answer({"cursor"}, R"({"hook_event_name":"stop"})", {"{}\n"}), "{}\n");
  EXPECT_EQ(answer({"cursor"}, R"({"hook_event_name":"stop"})", {}), "{}\n");
}

TEST_F(RelayProcessTest, DefaultsWhenTheAppIsAbsent) {
  const std::string prompt = R"({"hook_event_name":"beforeSubmitPrompt","prompt":"hi"})";
  EXPECT_EQ(runAlone({"cursor"}, prompt), "{\"continue\":true}\n");
  EXPECT_EQ(runAlone({"cursor"}, R"({"hook_event_name":"stop"})"), "{}\n");
  EXPECT_EQ(runAlone({"cursor"}, R"({"hook_event_name":"afterFileEdit"})"), "{}\n");
  EXPECT_EQ(runAlone({"cursor", "beforeSubmitPrompt"}, "{}"), "{\"continue\":true}\n");
  EXPECT_EQ(runAlone({}, R"({"hook_event_name":"PermissionRequest"})"), "");
  EXPECT_EQ(runAlone({"gemini"}, R"({"hook_event_name":"AfterAgent"})"), "");

  // A socket file left behind by an app that is gone refuses the connection.
  {
    AppSocket stale(home_.path());
    stale.abandon();
  }
  EXPECT_EQ(runAlone({"cursor"}, prompt), "{\"continue\":true}\n");
  EXPECT_EQ(runAlone({}, R"({"hook_event_name":"Stop"})"), "");
}

TEST_F(RelayProcessTest, AppThatStoppedAcceptingGetsTheDefaultsSoon) {
  AppSocket app(home_.path());
  std::vector<UniqueFd> queued = app.fillBacklog();
  ASSERT_FALSE(queued.empty());
  EXPECT_EQ(runAlone({"cursor"}, R"({"hook_event_name":"beforeSubmitPrompt"})"),
            "{\"continue\":true}\n");
  EXPECT_EQ(runAlone({}, R"({"hook_event_name":"PermissionRequest"})"), "");
}

TEST_F(RelayProcessTest, InvalidInputIsNeverSent) {
  AppSocket app(home_.path());
  for (const char* input :
       {"", "not json", "[1,2]", "\"text\"", "42", "null", "{\"a\":", "{} {}"}) {
    SCOPED_TRACE(input);
    EXPECT_EQ(runAlone({"cursor"}, input), "{}\n");
    EXPECT_EQ(runAlone({"cursor", "beforeSubmitPrompt"}, input), "{}\n");
    EXPECT_EQ(runAlone({"claude", "Stop"}, input), "");
    EXPECT_FALSE(app.pending());
  }
}

TEST_F(RelayProcessTest, PayloadNestedTooDeepIsNeverSent) {
  AppSocket app(home_.path());
  std::string input = R"({"hook_event_name":"PermissionRequest","tool_input":)";
  for (int i = 0; i < 100000; ++i) input += "{\"a\":";
  input += "1" + std::string(100001, '}');
  EXPECT_EQ(runAlone({"cursor"}, input), "{}\n");
  EXPECT_EQ(runAlone({"claude"}, input), "");
  EXPECT_FALSE(app.pending());
  // Deep but within reason, it is forwarded as usual.
  std::string shallow = R"({"hook_event_name":"PostToolUse","tool_input":)";
  shallow += std::string(100, '[') + std::string(100, ']') + "}";
  EXPECT_TRUE(forward({}, shallow).contains("tool_input"));
}

TEST_F(RelayProcessTest, TextThatStrictParsersRefuseIsStillForwarded) {
  // A string cut inside a surrogate pair, as JavaScript writes it, and a stray byte.
  Json sent =
      forward({}, "{\"hook_event_name\":\"PostToolUse\",\"out\":\"ab\\ud83d\",\"b\":\"\xFF\"}");
  EXPECT_EQ(sent["out"], "ab\uFFFD");
  EXPECT_EQ(sent["b"], "\uFFFD");
}

TEST_F(RelayProcessTest, SocketPathLimit) {
  const std::string suffix = "/.talvane/run/talvane.sock";
  auto homeOfLength = [&](std::size_t socketPathLength) {
    std::string home = home_.path() + "/";
    home.append(socketPathLength - suffix.size() - home.size(), 'h');
    return home;
  };
  const std::string input = R"({"hook_event_name":"PreToolUse"})";

  const std::string fits = homeOfLength(Relay::kMaxSocketPath);
  AppSocket reachable(fits);
  ASSERT_EQ(reachable.path().size(), 107u);
  EXPECT_EQ(RelayProcess(fits, {"cursor"}, input).finish().out, "{}\n");
  EXPECT_TRUE(reachable.pending());

  const std::string tooLong = homeOfLength(Relay::kMaxSocketPath + 1);
  AppSocket unreachable(tooLong);
  Outcome outcome = RelayProcess(tooLong, {"cursor", "beforeSubmitPrompt"}, "{}").finish();
  EXPECT_EQ(outcome.out, "{\"continue\":true}\n");
  EXPECT_EQ(outcome.err, "");
  EXPECT_TRUE(outcome.exitedZero);
  EXPECT_FALSE(unreachable.pending());
}

TEST_F(RelayProcessTest, AppHangingUpMidPayloadDoesNotKillTheRelay) {
  AppSocket app(home_.path());
  // Far more than a socket buffer holds, so the relay is still writing when the app hangs up.
  Json payload = {{"hook_event_name", "stop"}, {"blob", std::string(1 << 20, 'x')}};
  RelayProcess relay(home_.path(), {"cursor"}, payload.dump());
  {
    UniqueFd connection = app.accept();
    char buffer[64];
    ASSERT_GT(read(connection.get(), buffer, sizeof buffer), 0);
  }
  Outcome outcome = relay.finish();
  EXPECT_TRUE(outcome.exitedZero);
  EXPECT_EQ(outcome.out, "{}\n");
  EXPECT_EQ(outcome.err, "");
}

// An app that is stopped keeps accepting (into its backlog) but never reads: once the socket
// buffer is full, an event that does not wait gives up after the limit instead of blocking.
TEST_F(RelayProcessTest, AFrozenAppHoldsAnEventThatDoesNotWaitOnlyForTheLimit) {
  AppSocket app(home_.path());
  const std::string line = std::string(300 << 10, 'x') + "\n";  // tool output: far past a buffer
  int done[2];
  ASSERT_EQ(pipe2(done, O_CLOEXEC), 0);
  UniqueFd doneRead(done[0]), doneWrite(done[1]);
  // In a child, so that a relay that blocks fails the test rather than hanging it.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool empty =
        Relay::exchange(app.path(), line, false, std::chrono::milliseconds(50)).empty();
    const char outcome = empty ? 'y' : 'n';
    (void)!write(doneWrite.get(), &outcome, 1);
    _exit(0);
  }
  doneWrite.reset();
  pollfd p{doneRead.get(), POLLIN, 0};
  const bool finished = poll(&p, 1, kTimeoutMs) == 1;
  char outcome = 0;
  if (finished) {
    EXPECT_EQ(read(doneRead.get(), &outcome, 1), 1);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(finished) << "the send blocks on an app that does not read";
  EXPECT_EQ(outcome, 'y');
  EXPECT_TRUE(app.pending()) << "it did connect";
}

// Reading stops one byte past the limit, which the app would drop anyway; up to it, all is read.
TEST(RelayInput, ReadingStopsPastTheLimit) {
  struct Case {
    std::size_t size;
    bool taken;
  };
  for (const Case c : {Case{0, true}, Case{1000, true}, Case{1001, false}, Case{50000, false}}) {
    SCOPED_TRACE(c.size);
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    UniqueFd in(fds[0]), out(fds[1]);
    const std::string data(c.size, 'a');
    ASSERT_EQ(write(out.get(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
    out.reset();
    const std::optional<std::string> input = Relay::readInput(in.get(), 1000);
    EXPECT_EQ(input.has_value(), c.taken);
    if (input) {
      EXPECT_EQ(*input, data);
    }
    int unread = 0;
    ASSERT_EQ(ioctl(in.get(), FIONREAD, &unread), 0);
    EXPECT_EQ(unread, c.taken ? 0 : static_cast<int>(c.size) - 1001) << "read to the end";
  }
}

TEST_F(RelayProcessTest, APayloadPastTheLimitIsNeverSent) {
  AppSocket app(home_.path());
  std::string input = R"({"hook_event_name":"PostToolUse","tool_response":")";
  input.append(Relay::kMaxInput, 'x');
  input += "\"}";
  EXPECT_EQ(runAlone({"cursor"}, input), "{}\n");
  EXPECT_FALSE(app.pending());
}

// Started without standard output, the relay gets descriptor 1 for its socket.
TEST_F(RelayProcessTest, ClosedStandardOutputNeverEchoesTheAnswerToTheApp) {
  AppSocket app(home_.path());
  RelayProcess relay(home_.path(), {}, R"({"hook_event_name":"Stop"})", /*closeStdout=*/true);
  UniqueFd connection = app.accept();
  ASSERT_TRUE(readLine(connection.get()).has_value());
  sendAll(connection.get(), "{\"decision\":\"block\"}\n");
  EXPECT_TRUE(closedByPeer(connection.get()));
  Outcome outcome = relay.finish();
  EXPECT_TRUE(outcome.exitedZero);
  EXPECT_EQ(outcome.err, "");
}

}  // namespace
}  // namespace talvane

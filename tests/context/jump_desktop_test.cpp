// Jumps against real programs: a private tmux server, and xterm windows on a private X server
// with openbox, the session's processes started by the real relay through /bin/sh.
#include <glib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "context/jump_observe.h"
#include "context/jump_runner.h"
#include "context/x11/x11_windows.h"
#include "platform/files.h"
#include "platform/gobject.h"
#include "platform/json.h"
#include "support/relay_process.h"
#include "support/test_home.h"

namespace talvane {
namespace {

using testing::runUntil;

std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  gchar** own = g_get_environ();
  for (gchar** e = own; *e; ++e) {
    std::string entry = *e;
    // Never the developer's own tmux, nor their session's settings.
    if (entry.starts_with("TMUX=") || entry.starts_with("TMUX_PANE=")) continue;
    env.push_back(entry);
  }
  g_strfreev(own);
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> cStrings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// A program run to completion: its standard output, or nothing when it failed.
std::optional<std::string> output(std::vector<std::string> argv,
                                  std::vector<std::string> env = {}) {
  auto environment = environmentWith(env);
  auto args = cStrings(argv);
  auto envp = cStrings(environment);
  gchar* out = nullptr;
  gint status = 0;
  gboolean ran =
      g_spawn_sync(nullptr, args.data(), envp.data(),
                   static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL),
                   nullptr, nullptr, &out, nullptr, &status, nullptr);
  GCharPtr owned(out);
  if (!ran || !g_spawn_check_wait_status(status, nullptr)) return std::nullopt;
  return std::string(out ? out : "");
}

bool onPath(std::initializer_list<const char*> programs) {
  for (const char* p : programs)
    if (!GCharPtr(g_find_program_in_path(p))) return false;
  return true;
}

// A program in a session of its own, stopped on destruction.
class Background {
 public:
  Background(std::vector<std::string> argv, std::vector<std::string> env, bool pipeOut = false) {
    auto environment = environmentWith(env);
    auto args = cStrings(argv);
    auto envp = cStrings(environment);
    gint out = -1;
    if (!g_spawn_async_with_pipes(
            nullptr, args.data(), envp.data(),
            static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                     G_SPAWN_STDERR_TO_DEV_NULL |
                                     (pipeOut ? 0 : G_SPAWN_STDOUT_TO_DEV_NULL)),
            [](gpointer) { ::setsid(); }, nullptr, &pid_, nullptr, pipeOut ? &out : nullptr,
            nullptr, nullptr))
      pid_ = -1;
    out_.reset(out);
  }
  ~Background() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }
  int out() const { return out_.get(); }

 private:
  GPid pid_ = -1;
  UniqueFd out_;
};

// Polls a condition that another process makes true, without spinning hard.
bool eventually(const std::function<bool()>& done, double seconds = 10) {
  return runUntil(
      [&] {
        if (done()) return true;
        g_usleep(30'000);
        return false;
      },
      seconds);
}

// The app's end of the socket, just enough to catch one relay line.
class RelayCatcher {
 public:
  explicit RelayCatcher(const std::string& path) {
    files::makeDirs(files::parent(path), 0700);
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_.get(), 4);
  }
  // The next line's "_host", or nothing within `seconds`.
  std::optional<Json> host(double seconds = 20) {
    pollfd p{listener_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(seconds * 1000)) != 1) return std::nullopt;
    UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    std::string line;
    char chunk[4096];
    ssize_t n;
    while (line.find('\n') == std::string::npos &&
           (n = ::read(connection.get(), chunk, sizeof chunk)) > 0)
      line.append(chunk, static_cast<size_t>(n));
    auto payload = json::parseObject(line);
    if (!payload || !json::object(*payload, "_host")) return std::nullopt;
    return *json::object(*payload, "_host");
  }

 private:
  UniqueFd listener_;
};

Jump::Recorded recorded(const Json& host) {
  Jump::Recorded r;
  r.agent = "claude";
  r.root = "/nonexistent";
  if (auto pid = json::number(host, "pid")) r.hostPid = static_cast<int>(*pid);
  r.hostExe = json::string(host, "bundle");
  r.tty = json::string(host, "tty");
  if (auto pid = json::number(host, "agentPid")) r.agentPid = static_cast<int>(*pid);
  return r;
}

// --- tmux -----------------------------------------------------------------------------------

// A private tmux server: the session's agent in the first pane of the second window, while the
// user looks at the first window (and, in the second, at the other pane).
class TmuxServer {
 public:
  explicit TmuxServer(const std::string& dir) : socket_(dir + "/tmux.sock") {}
  ~TmuxServer() { run({"kill-server"}); }

  bool start() {
    if (!run({"-f", "/dev/null", "new-session", "-d", "-s", "work", "-x", "80", "-y", "24",
              "sleep 600"}) ||
        !run({"new-window", "-t", "work", "sleep 600"}) ||
        !run({"split-window", "-t", "work:1", "sleep 600"}))
      return false;
    auto facts = run({"display", "-p", "-t", "work:1.0", "#{pane_tty}\t#{pane_pid}\t#{pid}"});
    if (!facts) return false;
    gchar** parts = g_strsplit(g_strchomp(facts->data()), "\t", 3);
    if (g_strv_length(parts) == 3) {
      session.agent = "claude";
      session.tty = parts[0];
      session.agentPid = std::atoi(parts[1]);
      session.hostPid = std::atoi(parts[2]);
      session.hostExe = "/usr/bin/tmux";
    }
    g_strfreev(parts);
    return session.tty &&
           run({"select-pane", "-t", "work:1.1", ";", "select-window", "-t", "work:0"});
  }
  std::optional<std::string> run(std::vector<std::string> args) {
    args.insert(args.begin(), {"tmux", "-S", socket_});
    return output(args);
  }
  // "<window>.<pane>\n" as the session shows them.
  std::string shown() {
    return run({"display", "-p", "-t", "work", "#{window_index}.#{pane_index}"}).value_or("?");
  }
  const std::string& socket() const { return socket_; }

  Jump::Recorded session;

 private:
  std::string socket_;
};

class JumpTmux : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!onPath({"tmux"})) GTEST_SKIP() << "tmux is not installed";
    ASSERT_TRUE(tmux.start());
  }
  Jump::Runner runner() {
    Jump::Outside outside;
    outside.log = [this](const std::string& line) { logged.push_back(line); };
    return Jump::Runner(std::move(outside));
  }

  testing::TestHome home;
  testing::TempDir dir;
  TmuxServer tmux{dir.path()};
  std::vector<std::string> logged;
};

TEST_F(JumpTmux, SelectsTheSessionsWindowAndPane) {
  ASSERT_EQ(tmux.shown(), "0.0\n");
  auto jump = runner();
  jump.go(Jump::observe(tmux.session));
  EXPECT_TRUE(eventually([&] { return tmux.shown() == "1.0\n"; })) << tmux.shown();
  testing::spin(0.1);
  EXPECT_TRUE(logged.empty()) << logged.front();
}

TEST_F(JumpTmux, AGoneServerOnlyLogsOneLine) {
  Jump::Facts facts = Jump::observe(tmux.session);
  tmux.run({"kill-server"});
  auto jump = runner();
  jump.go(facts);
  EXPECT_TRUE(eventually([&] { return !logged.empty(); }));
  testing::spin(0.2);
  EXPECT_EQ(logged.size(), 1u);
}

// --- X11 ------------------------------------------------------------------------------------

class JumpX11 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tools_ = onPath({"Xvfb", "openbox", "xterm", "xdotool", "xprop"});
    if (!tools_) return;
    server_ = new Background(
        {"Xvfb", "-noreset", "-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp"},
        {},
        /*pipeOut=*/true);
    pollfd p{server_->out(), POLLIN, 0};
    char number[16] = {};
    if (::poll(&p, 1, 30'000) == 1 && ::read(server_->out(), number, sizeof number - 1) > 0)
      display_ = ":" + std::string(g_strchomp(number));
    if (display_.empty()) return;
    wm_ = new Background({"openbox", "--sm-disable"}, {"DISPLAY=" + display_});
    bool ready = eventually(
        [] {
          auto supported = output({"xprop", "-display", display_, "-root", "_NET_SUPPORTED"});
          return supported && supported->find("_NET_ACTIVE_WINDOW") != std::string::npos;
        },
        30);
    if (!ready) display_.clear();
  }
  static void TearDownTestSuite() {
    delete wm_;
    delete server_;
    wm_ = server_ = nullptr;
  }
  void SetUp() override {
    if (!tools_) GTEST_SKIP() << "needs Xvfb, openbox, xterm, xdotool and xprop";
    // With the tools there, a desktop that never came up is a failure, not a reason to skip.
    ASSERT_FALSE(display_.empty()) << "Xvfb with openbox did not come up";
    ::setenv("DISPLAY", display_.c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("XDG_SESSION_TYPE");
  }

  static std::string activeWindow() {
    auto text = output({"xprop", "-display", display_, "-root", "_NET_ACTIVE_WINDOW"});
    auto hash = text ? text->rfind("# ") : std::string::npos;
    if (hash == std::string::npos) return "";
    return std::to_string(std::strtoul(text->c_str() + hash + 2, nullptr, 16));
  }
  static std::string windowOf(pid_t pid) {
    auto text =
        output({"xdotool", "search", "--pid", std::to_string(pid)}, {"DISPLAY=" + display_});
    return text ? std::string(g_strchomp(text->data())) : "";
  }
  // The program's window once the window manager has mapped and activated it; "" if never.
  static std::string shownWindow(const Background& program) {
    std::string window;
    eventually([&] {
      window = windowOf(program.pid());
      return !window.empty() && activeWindow() == window;
    });
    return activeWindow() == window ? window : "";
  }
  std::unique_ptr<Background> xterm(const std::string& command) {
    return std::make_unique<Background>(
        std::vector<std::string>{"xterm", "-e", "/bin/sh", "-c", command},
        std::vector<std::string>{"DISPLAY=" + display_});
  }

  testing::TestHome home;
  static inline Background* server_ = nullptr;
  static inline Background* wm_ = nullptr;
  static inline std::string display_;
  static inline bool tools_ = false;
};

TEST_F(JumpX11, ActivatesTheXtermHostingTheSession) {
  if (::access(testing::kRelayPath.c_str(), X_OK) != 0) GTEST_SKIP() << "talvane-hook not built";
  RelayCatcher app(home.path() + "/.talvane/run/talvane.sock");
  const std::string payload = home.write("payload.json", R"({"session_id":"x","cwd":"/"})");
  // The agent runs its hook through /bin/sh and lives on after it.
  auto hosting = xterm("/bin/sh -c '" + testing::kRelayPath + " claude SessionStart < " + payload +
                       "'; exec sleep 600");
  auto host = app.host();
  ASSERT_TRUE(host);
  std::string hostingWindow = shownWindow(*hosting);
  ASSERT_FALSE(hostingWindow.empty());
  auto other = xterm("exec sleep 600");
  ASSERT_FALSE(shownWindow(*other).empty());

  Jump::Facts facts = Jump::observe(recorded(*host));
  Jump::Outside outside;
  outside.windows = std::make_shared<X11Windows>(display_);
  std::vector<std::string> logged;
  outside.log = [&](const std::string& line) { logged.push_back(line); };
  Jump::Runner(std::move(outside)).go(facts);
  EXPECT_TRUE(eventually([&] { return activeWindow() == hostingWindow; }))
      << "host " << json::compact(*host);
  EXPECT_TRUE(logged.empty()) << logged.front();
}

TEST_F(JumpX11, RaisesTheTerminalShowingTheSessionsTmuxPane) {
  if (!onPath({"tmux"})) GTEST_SKIP() << "tmux is not installed";
  testing::TempDir dir;
  TmuxServer tmux(dir.path());
  ASSERT_TRUE(tmux.start());
  auto attached = xterm("exec tmux -S " + tmux.socket() + " attach -t work");
  std::string attachedWindow = shownWindow(*attached);
  ASSERT_FALSE(attachedWindow.empty());
  ASSERT_TRUE(eventually([&] { return !tmux.run({"list-clients"}).value_or("").empty(); }));
  auto other = xterm("exec sleep 600");
  ASSERT_FALSE(shownWindow(*other).empty());

  Jump::Outside outside;
  outside.windows = std::make_shared<X11Windows>(display_);
  Jump::Runner(std::move(outside)).go(Jump::observe(tmux.session));
  EXPECT_TRUE(
      eventually([&] { return activeWindow() == attachedWindow && tmux.shown() == "1.0\n"; }));
}

TEST_F(JumpX11, AProcessWithoutAWindowIsReportedNotRaised) {
  auto other = xterm("exec sleep 600");
  const std::string before = shownWindow(*other);
  ASSERT_FALSE(before.empty());
  X11Windows windows(display_);
  EXPECT_EQ(windows.activate({static_cast<int>(::getpid())}),
            "no window belongs to the session's processes");
  EXPECT_EQ(X11Windows(":4095").activate({1}), "cannot open the X display");
  testing::spin(0.2);
  EXPECT_EQ(activeWindow(), before);
}

}  // namespace
}  // namespace talvane

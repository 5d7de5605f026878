#pragma once
// How to bring a session's host forward on Linux, decided from a few facts about its processes
// and the desktop. Pure: observing the facts and carrying out the plan live elsewhere
// (jump_observe.h, jump_runner.h).

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace talvane::Jump {

struct Facts {
  // From the session, as the relay recorded them.
  std::string agent;  // "claude", "cursor", ...
  std::string root;   // project folder; empty when unknown
  std::optional<int> hostPid;
  std::optional<std::string> hostExe;
  std::optional<std::string> tty;
  std::optional<int> agentPid;

  // Observed when the jump starts.
  bool ttyExists = false;
  // The agent and its living ancestors, nearest first, then the host's when the agent is gone.
  std::vector<int> lineage;
  // TMUX, KITTY_*, WEZTERM_* as the agent (or else the host) sees them.
  std::map<std::string, std::string> env;
  std::vector<std::string> hostArgs;  // the host's command line
  // Programs found on PATH, by name.
  std::map<std::string, std::string> programs;
  bool x11 = false;               // DISPLAY is set
  bool wayland = false;           // a Wayland session, where X11 windows are not the user's windows
  std::string tmuxDefaultSocket;  // $TMUX_TMPDIR or /tmp, then /tmux-<uid>/default
};

struct Command {
  std::vector<std::string> argv;  // argv[0] is a full path
  std::vector<std::string> env;   // "NAME=value" added to the app's environment
  bool operator==(const Command&) const = default;
};

// Select the tmux pane whose tty is `tty`, then raise the terminal showing it.
struct TmuxStep {
  std::vector<std::string> tmux;  // tmux with its server option: {path, "-S", socket}
  std::string tty;
  bool operator==(const TmuxStep&) const = default;
};

// A terminal's or editor's own command; success is its exit status 0. `raise` are processes
// whose window is raised afterwards (their own command may not raise it).
struct CommandStep {
  std::string what;  // for the log: "kitty", "wezterm", "code", ...
  Command command;
  std::vector<int> raise;
  bool operator==(const CommandStep&) const = default;
};

// Activate the top-level window of the first of `pids` that owns one.
struct WindowStep {
  std::vector<int> pids;
  bool operator==(const WindowStep&) const = default;
};

// Start a program that stays open (a terminal window) without waiting for it; success is its
// start.
struct LaunchStep {
  std::string what;
  Command command;
  bool operator==(const LaunchStep&) const = default;
};

using Step = std::variant<TmuxStep, CommandStep, WindowStep, LaunchStep>;

struct Plan {
  std::vector<Step> steps;  // tried in order until one succeeds
  std::string nothing;      // why there are no steps
};

Plan plan(const Facts& facts);

// The editor command for a host executable or agent ("code", "cursor", ...), if it is one.
std::optional<std::string> editorFor(std::string_view agent, const std::optional<std::string>& exe);

// The tmux server socket: the TMUX variable's path, the host's -S or -L option, else the
// default socket.
std::string tmuxSocket(const Facts& facts);

struct TmuxPane {
  std::string tty, session, window, pane;  // as ids: "$1", "@3", "%5"
};
struct TmuxClient {
  std::string tty, session;  // session as its id
  int pid = 0;
};

// The -F formats these parse, and the parsers; malformed lines are skipped.
inline constexpr std::string_view kPaneFormat =
    "#{pane_tty}\t#{session_id}\t#{window_id}\t#{pane_id}";
inline constexpr std::string_view kClientFormat = "#{client_tty}\t#{client_pid}\t#{session_id}";
std::vector<TmuxPane> parsePanes(std::string_view text);
std::vector<TmuxClient> parseClients(std::string_view text);

// The arguments after the tmux base that show `pane`: its window and pane, and `client` switched
// to its session when the client shows another one.
std::vector<std::string> tmuxSelect(const TmuxPane& pane, const std::optional<TmuxClient>& client);
// The client that should show `pane`: one attached to its session, else any; none if no client.
std::optional<TmuxClient> tmuxClientFor(const std::vector<TmuxClient>& clients,
                                        const TmuxPane& pane);

}  // namespace talvane::Jump

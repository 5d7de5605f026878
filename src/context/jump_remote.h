#pragma once
// Jumping to a session on another machine: no window here shows it, so a local terminal is
// opened running ssh into the session's tmux pane there, else into its folder. Planning is pure;
// observeRemote() adds what it reads from the environment and PATH.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "context/jump_plan.h"

namespace talvane::Jump {

// The session as its remote host's relay described it.
struct RemoteTarget {
  std::string destination;              // as kept in the settings: "[user@]host[:port]"
  std::optional<std::string> tmuxPane;  // "%3", from the relay's $TMUX_PANE
  std::string cwd;                      // the folder on that machine; empty when unknown
};

struct TerminalFacts {
  // $TERMINAL found as a program, when set.
  std::optional<std::string> terminal;
  // x-terminal-emulator and the terminals of kTerminals found on PATH, by name.
  std::map<std::string, std::string> programs;
};

// The terminals tried in order after $TERMINAL and x-terminal-emulator.
inline constexpr std::string_view kTerminals[] = {
    "gnome-terminal", "konsole", "xfce4-terminal", "foot", "alacritty", "kitty", "xterm"};

// The line the remote's login shell runs: tmux showing the pane, falling back to a login shell
// in the folder when the pane has gone.
std::string remoteShellLine(const RemoteTarget& target);

// `path` told to run `argv` in a new window, with the option its program takes for that.
Command terminalCommand(const std::string& path, const std::vector<std::string>& argv);

// The terminal to open: $TERMINAL, else x-terminal-emulator, else the first of kTerminals.
std::optional<std::string> chooseTerminal(const TerminalFacts& facts);

// One LaunchStep: the terminal running `ssh -t` to the host; none, with the reason, when the
// destination cannot be read or no terminal is found.
Plan remotePlan(const RemoteTarget& target, const TerminalFacts& facts);

// remotePlan with the terminals this desktop has.
Plan observeRemote(const RemoteTarget& target);

}  // namespace talvane::Jump

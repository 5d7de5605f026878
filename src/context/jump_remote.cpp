#include "context/jump_remote.h"

#include <glib.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "platform/files.h"
#include "platform/gobject.h"
#include "remote/destination.h"

namespace talvane::Jump {

namespace {

// How each terminal is told to run a command: the words between its path and the command. The
// rest, $TERMINAL included when it is none of these, take "-e" (x-terminal-emulator must, by
// Debian's rules). "--" keeps ssh's own options from being read as the terminal's.
struct RunOption {
  std::string_view name;
  std::vector<std::string_view> words;
};
const RunOption kRunOptions[] = {
    {"gnome-terminal", {"--"}}, {"konsole", {"-e"}},          {"xfce4-terminal", {"-x"}},
    {"foot", {"--"}},           {"alacritty", {"-e"}},        {"kitty", {}},
    {"xterm", {"-e"}},          {"wezterm", {"start", "--"}}, {"kgx", {"--"}},
    {"ptyxis", {"--"}},         {"terminator", {"-x"}},
};

// A pane id as tmux writes it; anything else from the remote is not used as one.
bool isPaneId(std::string_view pane) {
  return pane.size() > 1 && pane.front() == '%' &&
         std::all_of(pane.begin() + 1, pane.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string remoteShellLine(const RemoteTarget& target) {
  // A folder that has gone still leaves the user a shell, in their home.
  std::string shell;
  if (!target.cwd.empty()) shell = "cd -- " + remote::shellQuote(target.cwd) + "; ";
  shell += "exec \"$SHELL\" -l";
  if (!target.tmuxPane || !isPaneId(*target.tmuxPane)) return shell;
  const std::string pane = remote::shellQuote(*target.tmuxPane);
  return "tmux select-window -t " + pane + " ';' select-pane -t " + pane +
         " ';' attach-session -t " + pane + " || { " + shell + "; }";
}

Command terminalCommand(const std::string& path, const std::vector<std::string>& argv) {
  const std::string name = files::lastComponent(path);
  Command command{{path}, {}};
  const auto known = std::find_if(std::begin(kRunOptions), std::end(kRunOptions),
                                  [&](const RunOption& o) { return o.name == name; });
  if (known == std::end(kRunOptions))
    command.argv.emplace_back("-e");
  else
    command.argv.insert(command.argv.end(), known->words.begin(), known->words.end());
  command.argv.insert(command.argv.end(), argv.begin(), argv.end());
  return command;
}

std::optional<std::string> chooseTerminal(const TerminalFacts& facts) {
  if (facts.terminal) return facts.terminal;
  if (auto it = facts.programs.find("x-terminal-emulator"); it != facts.programs.end())
    return it->second;
  for (std::string_view name : kTerminals)
    if (auto it = facts.programs.find(std::string(name)); it != facts.programs.end())
      return it->second;
  return std::nullopt;
}

Plan remotePlan(const RemoteTarget& target, const TerminalFacts& facts) {
  Plan p;
  const auto destination = remote::Destination::parse(target.destination);
  if (!destination) {
    p.nothing = "the remote host " + target.destination + " is not one ssh can be given";
    return p;
  }
  const auto terminal = chooseTerminal(facts);
  if (!terminal) {
    p.nothing = "no terminal found to open the ssh session in (set $TERMINAL)";
    return p;
  }
  // -t: the remote command is interactive, and ssh gives it a terminal only when asked to.
  Command command =
      terminalCommand(*terminal, remote::sshCommand(*destination, {"-t"}, remoteShellLine(target)));
  p.steps.push_back(LaunchStep{files::lastComponent(*terminal), std::move(command)});
  return p;
}

Plan observeRemote(const RemoteTarget& target) {
  TerminalFacts facts;
  auto find = [](const std::string& name) -> std::optional<std::string> {
    GCharPtr path(g_find_program_in_path(name.c_str()));
    if (!path) return std::nullopt;
    return std::string(path.get());
  };
  if (const char* terminal = std::getenv("TERMINAL"); terminal && *terminal)
    facts.terminal = find(terminal);
  if (auto path = find("x-terminal-emulator")) facts.programs.emplace("x-terminal-emulator", *path);
  for (std::string_view name : kTerminals)
    if (auto path = find(std::string(name))) facts.programs.emplace(name, *path);
  return remotePlan(target, facts);
}

}  // namespace talvane::Jump

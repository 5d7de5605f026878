#pragma once
// Which application hosts the agent: the terminal, editor or multiplexer that the jump to a
// session brings forward. Decided from the relay's ancestry alone.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "relay/process_table.h"

namespace talvane {

// True for an executable that belongs to the agent itself rather than to a hosting application,
// including a copy shipped inside an application's folder.
bool isAgentBinary(std::string_view path);

// True for a shell or wrapper (env, timeout, ...) that a hook command may run the relay through.
bool isHookLauncher(std::string_view path);

// True for a process that only carries the agent or the hook along: the agent and the
// interpreters it runs on, shells, privilege switches, remote logins and service managers.
// None of them is ever the host.
bool isPassThrough(std::string_view path);

// The facts sent to the app as "_host"; absent members are left out.
struct HostFacts {
  std::optional<std::string> tty;     // first terminal device found in the ancestry
  std::optional<pid_t> pid;           // the hosting application
  std::optional<std::string> bundle;  // its bundle or executable path
  std::optional<pid_t> agentPid;      // the agent: the nearest ancestor that is no hook launcher
  // Not from the ancestry: the machine's host name, so that sessions reaching the app from
  // another machine say where they run, and the tmux pane ($TMUX_PANE) to jump into there.
  std::optional<std::string> machine;
  std::optional<std::string> tmuxPane;
};

// The index in `chain` (nearest first) of the hosting application, if any.
std::optional<std::size_t> findHost(const std::vector<Ancestor>& chain);

// `chain` are the ancestors of the relay's parent, nearest first.
HostFacts hostFacts(const std::vector<Ancestor>& chain);

// hostFacts(chain) with the machine's name (uname's node name; no name service in a statically
// linked program) and $TMUX_PANE when set.
HostFacts hostFactsHere(const std::vector<Ancestor>& chain);

}  // namespace talvane

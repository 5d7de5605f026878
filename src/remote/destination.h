#pragma once
// A remote host as the user names it for ssh, and the ssh command lines we start for it. Every
// connection goes through the user's own OpenSSH client, so their keys, agent and ~/.ssh/config
// apply; we only add options that keep ssh from ever prompting on a terminal.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talvane::remote {

struct Destination {
  std::string user;         // empty: whatever ssh and the user's config choose
  std::string host;         // a name, an alias from ~/.ssh/config, or an address
  std::optional<int> port;  // absent: ssh's own choice

  // "[user@]host[:port]", with an IPv6 address in brackets ("[::1]:2222"). Absent for text ssh
  // could read as an option, or with spaces, control characters or shell quoting in it.
  static std::optional<Destination> parse(std::string_view text);
  // The canonical text: the key under which the host is kept and shown.
  std::string text() const;

  bool operator==(const Destination&) const = default;
};

// `text` single-quoted for a POSIX shell: the remote side runs our commands through one.
std::string shellQuote(std::string_view text);

// The ssh client: $TALVANE_SSH when set (tests point it at a wrapper carrying their own config),
// else "ssh" from PATH.
std::string sshProgram();

// The argument vector for ssh to `to`: the program, BatchMode (authentication by key or agent
// only: never a password prompt), a connect time-out, `options` (each given as "-o", value
// pairs or single flags), the port, then the destination. `command`, when not empty, is one
// shell command line for the remote.
std::vector<std::string> sshCommand(const Destination& to, const std::vector<std::string>& options,
                                    const std::string& command = {});

// Where things live on the remote, below its home directory.
std::string remoteRunDirectory(std::string_view home);  // home/.talvane/run
std::string remoteSocketPath(std::string_view home);    // home/.talvane/run/talvane.sock
std::string remoteRelayPath(std::string_view home);     // home/.talvane/bin/talvane-hook

}  // namespace talvane::remote

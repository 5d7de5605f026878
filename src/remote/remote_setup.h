#pragma once
// What `talvane remote add` and `remove` do on the remote: look at it, check it can run our
// relay, copy the relay there, and connect or disconnect the agents found there with the same
// installers as on this machine, through the remote's files.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "remote/remote_hosts.h"
#include "remote/ssh_session.h"

namespace talvane::remote {

// What one command on the remote tells about it.
struct Probe {
  std::string system;      // uname -s
  std::string machine;     // uname -m
  std::string home;        // $HOME
  std::string configHome;  // $XDG_CONFIG_HOME when absolute, else home/.config
  std::string hostName;    // uname -n
  bool codex = false;      // ~/.codex exists
};

// The shell command that prints the facts probe() reads.
std::string probeCommand();
// Absent when the answer lacks the system, machine or home.
std::optional<Probe> readProbe(std::string_view answer);

// One name for each CPU architecture, whatever uname -m or the ELF header call it: "x86_64",
// "aarch64", "arm", "i386", "riscv64"; anything else as given.
std::string architectureOf(std::string_view unameMachine);
// The architecture an ELF executable is built for; absent when the file is not ELF.
std::optional<std::string> elfArchitecture(const std::string& path);

// Where the steps say what they did, one line at a time: progress and one line per agent, and
// problems (without the "talvane: " the command adds).
struct Report {
  std::function<void(const std::string&)> say;
  std::function<void(const std::string&)> complain;
};

// Adds the host: probes it, refuses a system or architecture the relay cannot run on, copies
// the relay, prepares the socket's directory and connects every agent found there. The record
// to keep when the relay was copied (even when some agent failed, which `failed` then says).
struct Added {
  std::optional<RemoteHost> host;
  bool failed = false;
};
Added add(SshSession& session, const Report& report);

// Disconnects the agents there; the relay stays. False when the host could not be reached or
// an agent could not be disconnected, each said on `report.complain`.
bool remove(SshSession& session, const Report& report, bool* reached = nullptr);

// The line said about a host where Codex is installed.
std::string codexNote(std::string_view destination);

// The request lines the running app takes, which keeps the hosts in its settings.
std::string addRequest(const RemoteHost& host);             // "remoteAdd" with "host"
std::string removeRequest(const std::string& destination);  // "remoteRemove"
inline constexpr const char* kStatusRequest = R"({"_query":"remotes"})";

}  // namespace talvane::remote

#pragma once
// Shell commands on one remote host for the length of a command such as `talvane remote add`.
// The first command opens a connection that the following ones share (OpenSSH's own
// multiplexing, through a socket in a private temporary directory), so each costs a round trip
// rather than a new handshake; the destructor closes it.

#include <string>

#include "remote/command_runner.h"
#include "remote/destination.h"

namespace talvane::remote {

class SshSession {
 public:
  SshSession(Destination to, CommandRunner& runner);
  ~SshSession();
  SshSession(const SshSession&) = delete;
  SshSession& operator=(const SshSession&) = delete;

  const Destination& destination() const { return to_; }
  // Runs one POSIX shell command line there, `input` on its standard input.
  RunResult run(const std::string& command, const std::string& input = {});

 private:
  Destination to_;
  CommandRunner& runner_;
  std::string dir_;  // the private directory of the shared connection's socket; empty: none
  bool opened_ = false;
};

// Whether ssh itself failed (it exits 255), rather than the remote command.
bool sshFailed(const RunResult& result);

// One line saying why `to` could not be reached from ssh's failure: it needs key or agent
// authentication; its host key is not known yet; else ssh's own last line.
std::string unreachable(const Destination& to, const RunResult& result);

// The last non-empty line of `text`, without its line end.
std::string lastLine(const std::string& text);

}  // namespace talvane::remote

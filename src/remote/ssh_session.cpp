#include "remote/ssh_session.h"

#include <glib.h>
#include <unistd.h>

#include <utility>

namespace talvane::remote {

namespace {

// Long enough for the commands of one `talvane remote`, short enough that a master we failed
// to close (the command was killed) does not linger.
constexpr const char* kPersist = "ControlPersist=60";

// The command a user types to try the same connection.
std::string sshHint(const Destination& to) {
  std::string line = "ssh ";
  if (to.port) line += "-p " + std::to_string(*to.port) + " ";
  return line + (to.user.empty() ? to.host : to.user + "@" + to.host);
}

}  // namespace

SshSession::SshSession(Destination to, CommandRunner& runner)
    : to_(std::move(to)), runner_(runner) {
  const std::string base = std::string(g_get_tmp_dir()) + "/talvane-ssh-XXXXXX";
  std::string buffer = base;
  // Private: anyone who can reach the socket can run commands as the user there.
  if (::mkdtemp(buffer.data())) dir_ = buffer;
}

SshSession::~SshSession() {
  if (dir_.empty()) return;
  if (opened_)
    (void)runner_.run(sshCommand(to_, {"-o", "ControlPath=" + dir_ + "/c", "-O", "exit"}));
  ::unlink((dir_ + "/c").c_str());
  ::rmdir(dir_.c_str());
}

RunResult SshSession::run(const std::string& command, const std::string& input) {
  std::vector<std::string> options;
  if (!dir_.empty())
    options = {"-o", "ControlMaster=auto", "-o", "ControlPath=" + dir_ + "/c", "-o", kPersist};
  RunResult result = runner_.run(sshCommand(to_, options, command), input);
  if (!sshFailed(result)) opened_ = true;
  return result;
}

bool sshFailed(const RunResult& result) { return result.status == 255 || result.status < 0; }

std::string lastLine(const std::string& text) {
  std::string_view rest = text;
  while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r' || rest.back() == ' '))
    rest.remove_suffix(1);
  const auto newline = rest.rfind('\n');
  if (newline != std::string_view::npos) rest.remove_prefix(newline + 1);
  if (!rest.empty() && rest.back() == '\r') rest.remove_suffix(1);
  return std::string(rest);
}

std::string unreachable(const Destination& to, const RunResult& result) {
  const std::string host = to.text();
  const std::string& err = result.err;
  if (err.find("Permission denied") != std::string::npos ||
      err.find("Too many authentication failures") != std::string::npos)
    return "cannot reach " + host +
           ": it needs key or ssh-agent authentication (Talvane never asks for a password); "
           "check with: " +
           sshHint(to) + " true";
  if (err.find("Host key verification failed") != std::string::npos)
    return "cannot reach " + host + ": its host key could not be verified; run '" + sshHint(to) +
           "' once to check and accept it";
  std::string line = lastLine(err);
  if (line.empty()) line = "ssh failed (status " + std::to_string(result.status) + ")";
  return "cannot reach " + host + ": " + line;
}

}  // namespace talvane::remote

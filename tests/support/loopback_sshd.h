#pragma once
// An OpenSSH server of the test's own on 127.0.0.1, standing in for a remote host: a random high
// port, a throwaway host key and user key, and a second home directory as the remote user's
// (sshd hands it to sessions as HOME). Clients reach it through wrapper() as "remote" (key
// accepted) or "nokey" (a key the server does not know), never with the machine's own ssh
// configuration, keys or agent.

#include <sys/types.h>

#include <memory>
#include <string>

namespace talvane::testing {

class LoopbackSshd {
 public:
  // Starts sshd below `dir` and waits until it accepts connections. Null when sshd or
  // ssh-keygen is missing or the server did not come up; `why` then says which.
  static std::unique_ptr<LoopbackSshd> start(const std::string& dir, std::string* why = nullptr);
  ~LoopbackSshd();
  LoopbackSshd(const LoopbackSshd&) = delete;
  LoopbackSshd& operator=(const LoopbackSshd&) = delete;

  int port() const { return port_; }
  // The remote user's home directory.
  const std::string& remoteHome() const { return remoteHome_; }
  // An executable standing in for ssh: the real client with the test's configuration. Set
  // TALVANE_SSH to it.
  const std::string& wrapper() const { return wrapper_; }
  // The client configuration the wrapper uses.
  const std::string& clientConfig() const { return clientConfig_; }
  // Runs `command` on the "remote" through the wrapper; its standard output, or empty.
  std::string run(const std::string& command) const;

 private:
  LoopbackSshd() = default;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string remoteHome_;
  std::string wrapper_;
  std::string clientConfig_;
};

}  // namespace talvane::testing

#pragma once
// The real talvane-hook as an agent runs it: payload on stdin, answer on stdout.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/gobject.h"

extern char** environ;

namespace talvane::testing {

inline const std::string kRelayPath = TALVANE_BIN_DIR "/talvane-hook";

// One relay process; its stdout is collected without blocking the loop the Bridge runs on.
class RelayProcess {
 public:
  RelayProcess(const std::vector<std::string>& args, const std::string& payload) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> argv{kRelayPath};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    if (posix_spawn(&pid_, kRelayPath.c_str(), &actions, nullptr, raw.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    out_.reset(out[0]);
    ::fcntl(out_.get(), F_SETFL, O_NONBLOCK);
    // Far below a pipe's capacity: this write cannot block.
    [[maybe_unused]] ssize_t n = ::write(in[1], payload.data(), payload.size());
    ::close(in[1]);
  }
  ~RelayProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  RelayProcess(const RelayProcess&) = delete;
  RelayProcess& operator=(const RelayProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // True once the relay exited; its output is then complete.
  bool finished() {
    drain();
    if (!exited_ && pid_ > 0 && ::waitpid(pid_, &status_, WNOHANG) == pid_) {
      exited_ = true;
      drain();
    }
    return exited_;
  }
  int exitStatus() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
  const std::string& output() const { return output_; }

 private:
  void drain() {
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(out_.get(), chunk, sizeof chunk)) > 0)
      output_.append(chunk, static_cast<size_t>(n));
  }

  pid_t pid_ = -1;
  UniqueFd out_;
  bool exited_ = false;
  int status_ = 0;
  std::string output_;
};

}  // namespace talvane::testing

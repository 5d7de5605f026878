#pragma once
// The child processes the remote links start (ssh), behind an interface so tests can stand in
// for them. Unlike ChildProcess, the caller sees every output line as it comes (ssh tells on
// standard error when a forward is up, or why it failed) and the exit status.

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace talvane::remote {

class Processes {
 public:
  struct Watch {
    // Each line of standard output and error (merged), without its line feed.
    std::function<void(const std::string& line)> line;
    // Once, after the last line: the exit status, or -1 when the program could not start or was
    // killed by a signal. Never called from within start().
    std::function<void(int status)> exited;
  };

  // A started program. Destroying it kills the program; no callback runs after that.
  class Running {
   public:
    virtual ~Running() = default;
  };

  virtual ~Processes() = default;
  // Starts `argv` (argv[0] is looked up in PATH) with standard input from /dev/null.
  virtual std::unique_ptr<Running> start(const std::vector<std::string>& argv, Watch watch) = 0;
};

// The real programs, through GSubprocess on the GLib main context.
class GioProcesses final : public Processes {
 public:
  std::unique_ptr<Running> start(const std::vector<std::string>& argv, Watch watch) override;
};

}  // namespace talvane::remote

#pragma once
// Carries out a jump's plan: tries its steps in order without ever blocking the main loop,
// and logs one line when none of them brought anything forward.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "context/background.h"
#include "context/jump_observe.h"
#include "context/jump_plan.h"
#include "context/jump_remote.h"
#include "platform/event_loop.h"

namespace talvane::Jump {

// Raises windows of other programs; X11 has one (x11/x11_windows.h).
class WindowActivator {
 public:
  virtual ~WindowActivator() = default;
  // Activates the top-level window of the first of `pids` that owns one. Empty on success,
  // else why not.
  virtual std::optional<std::string> activate(const std::vector<int>& pids) = 0;
};

struct Outside {
  // Standard output when the command exited with status 0 within `seconds`; `done` is called
  // once, later, on the main loop. Default: a child process killed when the time is up.
  std::function<void(const Command&, double seconds,
                     std::function<void(std::optional<std::string>)> done)>
      run;
  // Starts the command and leaves it running on its own. Empty on success, else why not.
  // Default: spawned detached with the app's environment, in the home folder.
  std::function<std::optional<std::string>(const Command&)> launch;
  std::shared_ptr<WindowActivator> windows;  // none: no window is raised
  // Called on a worker thread, as it reads /proc. Default: jump_observe's lineage().
  std::function<std::vector<int>(int pid)> lineage;
  // Reads the facts of a jump; called on a worker thread, as it reads /proc and walks PATH.
  // Default: jump_observe's observe().
  std::function<Facts(const Recorded&)> observe;
  // The same for a session on another machine, which reads PATH. Default: observeRemote().
  std::function<Plan(const RemoteTarget&)> observeRemote;
  // The one line written when nothing happened. Default: log::line.
  std::function<void(const std::string&)> log;
  // Where observe, observeRemote and lineage run. Default: one worker thread.
  Background::Executor reads;
};

// Called once when a jump has ended: none when something was brought forward, else why nothing
// was.
using Done = std::function<void(std::optional<std::string> failure)>;

class Runner {
 public:
  static constexpr double kCommandSeconds = 5;

  // `loop` hears the facts read off it and times the commands; its post() must be callable
  // from any thread.
  explicit Runner(Outside outside = {}, EventLoop& loop = defaultLoop());
  ~Runner();
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  // Reads the facts of `session` off the loop, then goes on with them on the loop. Nothing is
  // heard of a jump whose runner is gone first.
  void go(const Recorded& session, Done done = {});
  void go(const RemoteTarget& target, Done done = {});
  // Plans from `facts` and carries the plan out; `done`, when given, hears how it ended.
  void go(const Facts& facts, Done done = {});
  void go(const Plan& plan, Done done = {});

 private:
  std::shared_ptr<const Outside> outside_;
  // Shared with the jumps under way, which may outlive the runner.
  std::shared_ptr<Background> background_;
  // Facts read for a runner that is gone are dropped.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  bool waylandLogged_ = false;
};

}  // namespace talvane::Jump

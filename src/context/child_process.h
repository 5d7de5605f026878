#pragma once
// Runs a helper program (gh, git) to completion without blocking the main loop: GIO starts it and
// watches its pipe and exit, and the result arrives on the main loop.

#include <gio/gio.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/gobject.h"

namespace talvane {

class ChildProcess : public std::enable_shared_from_this<ChildProcess> {
 public:
  // Standard output when the program exited with status 0; nothing when it failed, could not be
  // started or was killed by a signal.
  using Done = std::function<void(std::optional<std::string> output)>;

  // Starts `argv` (argv[0] is the executable's path) in `directory` with exactly `environment`
  // ("NAME=value"), standard input from /dev/null, standard error discarded. `done` is called
  // once, on the main loop and never from within start(), unless cancel() came first.
  static std::shared_ptr<ChildProcess> start(const std::vector<std::string>& argv,
                                             const std::string& directory,
                                             const std::vector<std::string>& environment,
                                             Done done);

  // Stops waiting and kills the program; `done` is not called.
  void cancel();

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() = default;

 private:
  ChildProcess() = default;
  static void communicated(GObject* source, GAsyncResult* result, gpointer self);
  static gboolean failed(gpointer self);
  void finish(std::optional<std::string> output);

  GObjectPtr<GSubprocess> process_;
  GObjectPtr<GCancellable> cancellable_;
  Done done_;
};

}  // namespace talvane

#pragma once
// A private X server for one test: Xvfb on a free display number (it picks one and tells us
// through -displayfd), stopped with the fixture. -noreset: by default the server resets when its
// last client leaves and refuses the next one meanwhile. Tests skip when Xvfb is not installed.

#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace talvane::testing {

class Xvfb {
 public:
  Xvfb() {
    if (!g_find_program_in_path("Xvfb")) return;
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24", "-nolisten",
             "tcp", "-br", "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~Xvfb() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  // Empty when no server could be started.
  const std::string& display() const { return display_; }

  // Runs a program with DISPLAY pointing here; true when it exited 0.
  bool run(std::vector<std::string> argv) const {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    gchar** env = g_environ_setenv(g_get_environ(), "DISPLAY", display_.c_str(), TRUE);
    gint status = 0;
    gboolean ok = g_spawn_sync(nullptr, args.data(), env, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
                               nullptr, nullptr, &status, nullptr);
    g_strfreev(env);
    return ok && g_spawn_check_wait_status(status, nullptr);
  }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace talvane::testing

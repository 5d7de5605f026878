#pragma once
// Raises another program's window the way pagers and task bars do: find it by _NET_WM_PID in
// the window manager's client list and ask for it with _NET_ACTIVE_WINDOW.

#include <optional>
#include <string>
#include <vector>

#include "context/jump_runner.h"

namespace talvane {

class X11Windows final : public Jump::WindowActivator {
 public:
  // `display` as in DISPLAY; empty means $DISPLAY. A connection is opened per activation, so
  // a restarted X server or a vanished display costs nothing while no jump happens.
  explicit X11Windows(std::string display = {});

  std::optional<std::string> activate(const std::vector<int>& pids) override;
  // The process of the window that has the keyboard, when the window manager names it.
  std::optional<int> activePid() const;

 private:
  std::string display_;
};

}  // namespace talvane

#pragma once
// What the running app plugs into preferences and startup: the real installers, the login item,
// and the one-copy-per-home rule.

#include <sys/types.h>

#include <functional>

#include "app/prefs.h"
#include "app/remote_service.h"
#include "platform/color_scheme.h"
#include "platform/event_loop.h"

namespace talvane {

class AppServices final : public PrefsServices {
 public:
  explicit AppServices(EventLoop& loop) : loop_(loop) {}

  bool hooksInstalled() override;
  void setHooksInstalled(bool on) override;
  bool cursorInstalled() override;
  bool cursorAvailable() override;
  void setCursorInstalled(bool on) override;
  bool integrationAvailable(std::string_view id) override;
  std::optional<std::string> integrationPath(std::string_view id) override;
  void setIntegrationInstalled(std::string_view id, bool on) override;
  // The desktop's preference as `scheme` follows it; light without one.
  bool prefersDark() override;
  void followColorScheme(const ColorScheme* scheme) { scheme_ = scheme; }
  // Calls `onHotKeysChanged`, which registers the shortcuts again from the preferences.
  void reloadHotKeys() override;
  std::function<void()> onHotKeysChanged;
  // The remote hosts the page shows and changes; none until the app sets it.
  Json remotes() override;
  void runRemote(const std::string& verb, const std::string& destination) override;
  void serveRemotes(RemoteService* remotes) { remotes_ = remotes; }

 private:
  RemoteService* remotes_ = nullptr;
  EventLoop& loop_;
  const ColorScheme* scheme_ = nullptr;
};

// How an older copy is made to go, with the outside parties tests replace.
struct Handover {
  // Seconds an older copy has to quit before it is forced, and then between reminders.
  static constexpr double kPoliteWait = 1.2;
  static constexpr double kForcedWait = 3.0;

  std::function<pid_t()> holder;  // the older copy's pid; 0 once there is none
  std::function<bool()> gone;     // true once it has let go of what the new copy takes over
  std::function<void(pid_t, int)> signal;
  std::function<void()> pause;    // a short wait between looks
  std::function<double()> clock;  // seconds

  // Signals by kill(2), pauses 20 ms, reads the monotonic clock.
  static Handover real(std::function<pid_t()> holder, std::function<bool()> gone);
};
// Asks the older copy to quit, forces it 1.2 seconds later, and returns once it is gone,
// however long that takes.
void handOver(const Handover& h);

// Becomes the one running copy for this home: asks an older copy to quit, forces it 1.2 seconds
// later, and returns once it is gone.
void takeOverFromOlderInstances();
// Gives up being the running copy; the last step at exit, after the socket is removed.
void releaseInstance();
// Refreshes the agents' hooks that are installed (and migrates an earlier installation).
void refreshInstalledHooks();

}  // namespace talvane

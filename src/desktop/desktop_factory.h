#pragma once
// Chooses how the panel appears: a layer-shell surface on Wayland compositors that offer it,
// else an X11 window, else no window at all (the page is then served to browsers). Each
// fallback is logged once. Only the app's start-up calls this.

#include <functional>
#include <memory>
#include <string>

#include "notch/desktop.h"
#include "notch/onboarding.h"
#include "notch/web_stage.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"

namespace talvane {

class GtkPanel;
class HeadlessDesktop;

class DesktopBackend {
 public:
  // `windowed` false: headless without trying (no display, or asked for).
  static std::unique_ptr<DesktopBackend> open(SettingsStore& store, EventLoop& loop, bool windowed);
  ~DesktopBackend();

  Desktop parts();
  // Where the page runs; none for the headless back end.
  PageHost* host();
  // Connects the page's messages to `stage` and makes this back end its host (if it has one).
  void attach(WebStage& stage);
  // The first-run window, its page in the panel's web process; none for the headless back end
  // (a browser opens the first-run route by itself).
  std::unique_ptr<OnboardingWindow> openOnboarding(EventLoop& loop);
  // "layer-shell", "x11" or "headless".
  const std::string& name() const { return name_; }
  void setQuit(std::function<void()> quit);
  // While the screen is locked the panel shows nothing; the headless back end has nothing to hide.
  void setScreenLocked(bool locked);

 private:
  DesktopBackend() = default;
  std::string name_;
  std::unique_ptr<GtkPanel> panel_;
  std::unique_ptr<HeadlessDesktop> headless_;
};

// Whether this process was started where a window can be shown.
bool displayAvailable();

}  // namespace talvane

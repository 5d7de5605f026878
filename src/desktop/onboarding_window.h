#pragma once
// The first-run window: undecorated, transparent where the page draws nothing, above other
// windows and centred on the primary screen, with the page's "?onboard" route in a web view
// that shares the panel's web process.

#include <functional>

#include "desktop/web_view_host.h"
#include "notch/onboarding.h"
#include "platform/event_loop.h"
#include "platform/signal_connection.h"

typedef struct _GtkWindow GtkWindow;

namespace talvane {

class GtkOnboardingWindow final : public OnboardingWindow {
 public:
  // `related` is the panel's host, whose web process the page joins (none: a process of its own).
  GtkOnboardingWindow(EventLoop& loop, WebViewHost* related);
  ~GtkOnboardingWindow() override;
  GtkOnboardingWindow(const GtkOnboardingWindow&) = delete;
  GtkOnboardingWindow& operator=(const GtkOnboardingWindow&) = delete;

  WebViewHost& host() { return host_; }

  void show(WebStage& stage) override;
  void resize(double height) override;
  void centre() override;
  void fadeOut(std::function<void()> closed) override;

  // How long the fade takes.
  static constexpr double kFadeSeconds = 0.18;
  // The longest the window stays see-through waiting for the page's first frame.
  static constexpr double kRevealLimit = 6;

 private:
  void reveal();

  EventLoop& loop_;
  WebViewHost host_;
  GtkWindow* window_ = nullptr;
  int height_ = int(kHeight);
  TimerHandle fade_;
  TimerHandle revealLate_;
  SignalConnection closing_;
};

}  // namespace talvane

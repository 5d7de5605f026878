#pragma once
// The first-run window: its own web stage on the "?onboard" route, a preview of the panel,
// and the hand-over to the panel once the user is done.

#include <functional>
#include <memory>

#include "hub/hub.h"
#include "notch/web_stage.h"

namespace talvane {

// The window the desktop back end supplies for onboarding.
class OnboardingWindow {
 public:
  static constexpr double kWidth = 460;
  static constexpr double kHeight = 560;

  virtual ~OnboardingWindow() = default;
  // Shows the window centred, in front, ready to host `stage`'s page (which loads next).
  virtual void show(WebStage& stage) = 0;
  // Changes the height keeping the top edge where it is.
  virtual void resize(double height) = 0;
  virtual void centre() = 0;
  // Fades the window out, closes it, then runs `closed`.
  virtual void fadeOut(std::function<void()> closed) = 0;

  // The user asked the window manager to close the window.
  std::function<void()> onCloseRequest;
};

class Onboarding {
 public:
  // `done` runs once the window has faded out; `window` must outlive this object.
  Onboarding(Hub& hub, OnboardingWindow& window, std::function<void()> done);

  void show();
  void handle(const Json& message);
  void push();
  void finish();

  WebStage& stage() { return stage_; }
  bool finishing() const { return finishing_; }

 private:
  Hub& hub_;
  OnboardingWindow& window_;
  std::function<void()> done_;
  WebStage stage_{"?onboard"};
  bool centred_ = false;
  bool finishing_ = false;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace talvane

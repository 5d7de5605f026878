#include "notch/onboarding.h"

#include "app/prefs.h"
#include "platform/json.h"

namespace talvane {

Onboarding::Onboarding(Hub& hub, OnboardingWindow& window, std::function<void()> done)
    : hub_(hub), window_(window), done_(std::move(done)) {
  stage_.onMessage = [this](const Json& message) { handle(message); };
  window_.onCloseRequest = [this] { finish(); };
}

void Onboarding::show() {
  // The window may become the stage's host: it comes first.
  window_.show(stage_);
  stage_.load();
}

void Onboarding::handle(const Json& message) {
  const std::string type = json::string(message, "type").value_or("");
  if (type == "ready") {
    push();
  } else if (type == "setting") {
    auto key = json::string(message, "key");
    const Json* value = json::member(message, "value");
    if (!key || !value) return;
    Prefs::set(*key, *value);
    push();
  } else if (type == "size") {
    auto height = json::number(message, "h");
    if (!height) return;
    window_.resize(*height);
    if (!std::exchange(centred_, true)) window_.centre();
  } else if (type == "onboardDone") {
    finish();
  }
}

void Onboarding::push() {
  Json state = hub_.snapshot();
  // The preview is the plain pill whatever the screen looks like.
  state["geo"] = {{"notchWidth", 0},
                  {"strip", 32},
                  {"shape", "pill"},
                  {"stageWidth", OnboardingWindow::kWidth},
                  {"stageHeight", OnboardingWindow::kHeight},
                  {"away", false},
                  {"anchor", "top"},
                  {"dragging", false},
                  {"glass", false},
                  {"theme", "dark"}};
  // The window keeps its own look; the theme choice shows what the panel will take.
  state["panelTheme"] = Prefs::resolvedTheme();
  stage_.send("state", state);
}

void Onboarding::finish() {
  if (finishing_) return;
  finishing_ = true;
  // Set before the fade: quitting during it still counts onboarding as done.
  Prefs::setOnboarded(true);
  window_.fadeOut([weak = std::weak_ptr<char>(alive_), this] {
    if (weak.expired()) return;
    if (done_) done_();
  });
}

}  // namespace talvane

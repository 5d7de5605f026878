// Dictation's progress on the page and the hand-off of the finished text: to the page as reply
// text while requests wait, else into the focused field elsewhere, else onto the clipboard.
#include "notch/notch_controller.h"
#include "voice/option_tap.h"

namespace talvane {

namespace {
// How long a failed dictation's message stays in a panel that has given the keyboard back.
constexpr double kTalkErrorShown = 3.5;
}  // namespace

void NotchController::talkKeyHeld(bool held) {
  if (held) {
    holdingTalk_ = true;
    toggleTalk();
    return;
  }
  if (!holdingTalk_) return;
  holdingTalk_ = false;
  if (desktop_.dictation.listening()) desktop_.dictation.toggle();
}

void NotchController::talkUpdate(const std::string& text, bool final, double level) {
  if (!final) {
    stage_.send("talk",
                {{"state", "listening"}, {"text", text}, {"level", level}, {"hold", holdingTalk_}});
    return;
  }
  stage_.send("talk",
              {{"state", "polishing"}, {"text", text}, {"level", 0}, {"hold", holdingTalk_}});
  auto polished = [this, weak = std::weak_ptr<char>(alive_)](std::string finished) {
    if (!weak.lock()) return;
    hold("talking", false);
    if (!hub_.queue().empty()) {
      stage_.send("talk", {{"state", "done"}, {"text", finished}, {"level", 0}});
      return;
    }
    stage_.send("talk", {{"state", "off"}, {"text", ""}});
    hold("keys", false);
    stage_.send("keys", {{"on", false}});
    releaseFocus();
    holds_.clear();
    close();
    if (finished.empty()) return;
    later(0.15, [this, weak, finished] {
      auto copy = [this, weak, finished](bool pasted) {
        if (pasted || !weak.lock()) return;
        copied(finished);
      };
      if (pasteText)
        pasteText(finished, copy);
      else
        copy(false);
    });
  };
  if (polish)
    polish(text, polished);
  else
    polished(text);
}

void NotchController::copied(const std::string& finished) {
  desktop_.clipboard.copyText(finished);
  stage_.send("talk", {{"state", "copied"}, {"text", finished}});
  hold("copied", true);
  open();
  later(3.5, [this] {
    hold("copied", false);
    stage_.send("talk", {{"state", "off"}, {"text", ""}});
    close();
  });
}

void NotchController::talkError(const std::string& message) {
  OptionTap::log("talk error: " + message);
  hold("talking", false);
  stage_.send("talk", {{"state", "error"}, {"text", message}});
  if (!talkSummoned_ || !holds_.count("keys")) return;
  // Keyboard mode came only for this dictation: the user goes back to the field they were
  // typing in, and the panel shows why for a moment without the keyboard.
  talkSummoned_ = false;
  hold("keys", false);
  stage_.send("keys", {{"on", false}});
  releaseFocus();
  hold("talkError", true);
  later(kTalkErrorShown, [this] {
    hold("talkError", false);
    if (desktop_.panel.pointer())
      evaluateHover();
    else
      close();
  });
}

}  // namespace talvane

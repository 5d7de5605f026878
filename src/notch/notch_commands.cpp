// The page's commands: one handler per message type, found through one table.

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "app/prefs.h"
#include "notch/notch_controller.h"
#include "notch/trace.h"
#include "platform/log.h"

namespace talvane {

void NotchController::handle(const Json& message) {
  auto type = json::string(message, "type");
  if (!type) return;
  // How to add a command: write a member handler below and give it a line here.
  static const std::unordered_map<std::string_view, Command> table = {
      {"ready", &NotchController::onReady},
      {"tourDone", &NotchController::onTourDone},
      {"rect", &NotchController::onRect},
      {"stripWidth", &NotchController::onStripWidth},
      {"glass", &NotchController::onGlass},
      {"dragStart", &NotchController::onDragStart},
      {"resetPosition", &NotchController::onResetPosition},
      {"select", &NotchController::onSelect},
      {"jump", &NotchController::onJump},
      {"allow", &NotchController::onAllow},
      {"deny", &NotchController::onDeny},
      {"answer", &NotchController::onAnswer},
      {"reply", &NotchController::onReply},
      {"engage", &NotchController::onEngage},
      {"release", &NotchController::onRelease},
      {"answerThere", &NotchController::onAnswerThere},
      {"dismiss", &NotchController::onDismiss},
      {"clear", &NotchController::onClear},
      {"undo", &NotchController::onUndo},
      {"hide", &NotchController::onHide},
      {"recordingKey", &NotchController::onRecordingKey},
      {"talk", &NotchController::onTalk},
      {"askAccessibility", &NotchController::onAskAccessibility},
      {"optionTapChanged", &NotchController::onOptionTapChanged},
      {"open", &NotchController::onOpen},
      {"setting", &NotchController::onSetting},
      {"copyDiagnostics", &NotchController::onCopyDiagnostics},
      {"usage", &NotchController::onUsage},
      {"focus", &NotchController::onFocus},
      {"hold", &NotchController::onHold},
      {"menu", &NotchController::onMenu},
      {"quit", &NotchController::onQuit},
      {"checkUpdates", &NotchController::onCheckUpdates},
      {"log", &NotchController::onLog},
      {"onboardDone", &NotchController::onOnboardDone},
  };
  auto it = table.find(*type);
  if (it == table.end()) return;
  (this->*(it->second))({message, json::string(message, "id").value_or("")});
}

void NotchController::onReady(const PageCommand&) {
  // At once: the page takes this state before anything queued while it was away.
  pushNow();
  // A reloaded page draws the artificial pointer again.
  lastCursor_ = nullptr;
  relayCursor();
  if (arriving_) {
    arriving_ = false;
    stage_.send("hello");
  }
}

void NotchController::onTourDone(const PageCommand&) {
  Prefs::setOnboarded(true);
  hold("tour", false);
  hold("setup", false);
}

void NotchController::onRect(const PageCommand& c) {
  auto x = json::number(c.message, "x"), y = json::number(c.message, "y");
  auto w = json::number(c.message, "w"), h = json::number(c.message, "h");
  if (!x || !y || !w || !h) return;
  drawn_ = {*x, *y, std::max(*w, 40.0), std::max(*h, 20.0)};
  desktop_.panel.setDrawn(drawn_);
  trace::line("RECT " + rectText(drawn_));
}

// The page measures the pill's text; the width comes back in the geometry, so the page draws
// and reports the rectangle the window shapes its input and hover zone with.
void NotchController::onStripWidth(const PageCommand& c) {
  const Json* wanted = json::member(c.message, "w");
  const auto w = wanted ? stripWidthFor(*wanted) : std::nullopt;
  if (!w || *w == stripWidth_) return;
  stripWidth_ = *w;
  push();
}

void NotchController::onGlass(const PageCommand& c) {
  if (!desktop_.panel.supportsGlass()) return;
  GlassRequest request = GlassRequest::parse(c.message);
  if (!Prefs::glass()) request.shapes.clear();
  desktop_.panel.placeGlass(request);
}

void NotchController::onDragStart(const PageCommand&) { beginDrag(); }

void NotchController::onResetPosition(const PageCommand&) { resetPosition(); }

void NotchController::onSelect(const PageCommand& c) { hub_.select(c.id); }

void NotchController::onJump(const PageCommand& c) {
  hub_.jump(c.id, [this, weak = std::weak_ptr<char>(alive_),
                   id = c.id](std::optional<std::string> failure) {
    if (failure && weak.lock()) stage_.send("jumpFailed", {{"id", id}, {"text", *failure}});
  });
}

// The request the user saw; a click that lands after it was replaced answers nothing.
void NotchController::onAllow(const PageCommand& c) {
  hub_.decide(c.id, "allow", std::nullopt, json::string(c.message, "request").value_or(""));
}

void NotchController::onDeny(const PageCommand& c) {
  hub_.decide(c.id, "deny", std::nullopt, json::string(c.message, "request").value_or(""));
}

void NotchController::onAnswer(const PageCommand& c) {
  std::vector<std::string> answers;
  if (const Json* list = json::array(c.message, "answers")) {
    for (const auto& a : *list) {
      if (!a.is_string()) {
        answers.clear();
        break;
      }
      answers.push_back(a.get<std::string>());
    }
  }
  hub_.answer(c.id, answers);
}

void NotchController::onReply(const PageCommand& c) {
  hub_.sendReply(c.id, json::string(c.message, "text").value_or(""));
  releaseFocus();
}

void NotchController::onEngage(const PageCommand& c) { hub_.engage(c.id); }

void NotchController::onRelease(const PageCommand& c) { hub_.release(c.id); }

void NotchController::onAnswerThere(const PageCommand& c) {
  hub_.answerThere(c.id);
  releaseFocus();
}

void NotchController::onDismiss(const PageCommand& c) { hub_.dismiss(c.id); }

void NotchController::onClear(const PageCommand&) { hub_.clearFinished(); }

void NotchController::onUndo(const PageCommand&) { hub_.undoClear(); }

void NotchController::onHide(const PageCommand&) {
  if (desktop_.dictation.listening()) {
    desktop_.dictation.cancel();
    stage_.send("talk", {{"state", "off"}, {"text", ""}});
  }
  holds_.clear();
  stage_.send("keys", {{"on", false}});
  close();
}

void NotchController::onRecordingKey(const PageCommand& c) {
  if (json::boolean(c.message, "on").value_or(false)) {
    desktop_.keyboard.pauseHotKeys();
    takeFocus();
  } else {
    desktop_.keyboard.reloadHotKeys();
    releaseFocus();
  }
}

void NotchController::onTalk(const PageCommand&) { toggleTalk(); }

void NotchController::onAskAccessibility(const PageCommand&) {
  desktop_.keyboard.askAccessibility();
}

void NotchController::onOptionTapChanged(const PageCommand&) {
  desktop_.dictation.restartOptionTap();
}

void NotchController::onOpen(const PageCommand&) { open(); }

void NotchController::onSetting(const PageCommand& c) {
  auto key = json::string(c.message, "key");
  const Json* value = json::member(c.message, "value");
  if (!key || !value) return;
  Prefs::set(*key, *value);
  push();
}

void NotchController::onCopyDiagnostics(const PageCommand&) {
  const std::string text = diagnostics();
  const bool copied = desktop_.clipboard.copyText(text);
  // The page says "Copied" only on this word; a page in a browser copies with its own
  // clipboard, as the app's may be no one's.
  stage_.send("diagnostics", {{"text", text}, {"copied", copied}});
}

void NotchController::onUsage(const PageCommand&) {
  usage_.refresh([this](const Json& totals) { stage_.send("usage", totals); });
}

void NotchController::onFocus(const PageCommand& c) {
  if (json::boolean(c.message, "on").value_or(false))
    takeFocus();
  else
    releaseFocus();
}

void NotchController::onHold(const PageCommand& c) {
  auto key = json::string(c.message, "key");
  if (!key) return;
  hold(*key, json::boolean(c.message, "on").value_or(false));
}

void NotchController::onMenu(const PageCommand&) { desktop_.shell.showMenu(); }

void NotchController::onQuit(const PageCommand&) { desktop_.shell.quit(); }

void NotchController::onCheckUpdates(const PageCommand&) {
  hold("settings", false);
  close();
  desktop_.shell.checkUpdates();
}

void NotchController::onLog(const PageCommand& c) {
  const Json* msg = json::member(c.message, "msg");
  const std::string text = logSafe(!msg               ? ""
                                   : msg->is_string() ? msg->get<std::string>()
                                                      : json::compact(*msg));
  trace::line("PAGE " + text);
  log::line("Talvane page: " + text);
}

// A browser finished the first-run flow (a desktop run has its own onboarding window).
void NotchController::onOnboardDone(const PageCommand&) {
  Prefs::setOnboarded(true);
  push();
}

}  // namespace talvane

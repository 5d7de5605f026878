#include "notch/notch_controller.h"

#include <sys/utsname.h>

#include <algorithm>
#include <sstream>

#include "app/prefs.h"
#include "notch/trace.h"
#include "platform/files.h"
#include "platform/log.h"

namespace talvane {

namespace {

std::string rectText(const Rect& r) {
  std::ostringstream out;
  out << "(" << r.x << ", " << r.y << ", " << r.w << ", " << r.h << ")";
  return out.str();
}

std::string numberText(const Json& v) {
  if (!v.is_number()) return "0";
  std::ostringstream out;
  out << v.get<double>();
  return out.str();
}

std::string boolText(bool b) { return b ? "true" : "false"; }

}  // namespace

NotchController::NotchController(Hub& hub, Desktop& desktop, EventLoop& loop,
                                 Background::Executor usageReads)
    : hub_(hub), desktop_(desktop), loop_(loop), usage_(loop, std::move(usageReads)) {
  stage_.onMessage = [this](const Json& m) { handle(m); };
}

NotchController::~NotchController() {
  hub_.onChange = nullptr;
  hub_.onAttention = nullptr;
}

void NotchController::later(double seconds, std::function<void()> fn) {
  std::erase_if(timers_, [](const TimerHandle& t) { return !t; });
  timers_.push_back(loop_.after(seconds, [weak = std::weak_ptr<char>(alive_), fn = std::move(fn)] {
    if (weak.lock()) fn();
  }));
}

void NotchController::show(bool arriving) {
  arriving_ = arriving;
  stage_.load();
  hub_.onChange = [this] { push(); };
  hub_.onAttention = [this] {
    if (Prefs::autoOpen()) peek();
    else push();
  };
}

void NotchController::push() {
  Json state = hub_.snapshot();
  const Json geo = desktop_.geo();
  state["geo"] = geo;
  state["trace"] = trace::enabled();
  // Lets a page opened in a browser offer the first-run flow.
  state["firstRun"] = !Prefs::onboarded();
  stage_.send("state", state);
  if (trace::enabled()) {
    trace::line("PUSH away=" + boolText(geo.value("away", false)) +
                " anchor=" + geo.value("anchor", std::string("top")) +
                " shape=" + geo.value("shape", std::string("pill")) + " stage=" +
                rectText({0, 0, kStageWidth, kStageHeight}) + " panel=" + rectText({}));
  }
  if (hub_.queue().empty()) holds_.erase("card");
}

void NotchController::open() {
  if (hub_.isOpen()) return;
  trace::line("OPEN cursor=" + desktop_.pointerText());
  desktop_.panelOpened(true);
  hub_.setOpen(true);
}

void NotchController::close() {
  if (!hub_.isOpen() || !holds_.empty()) return;
  trace::line("CLOSE cursor=" + desktop_.pointerText());
  releaseFocus();
  hub_.setOpen(false);
  later(0.5, [this] {
    if (!hub_.isOpen()) desktop_.panelOpened(false);
  });
}

void NotchController::peek() {
  if (desktop_.geo().value("away", false)) {
    push();
    return;
  }
  hold("peek", true);
  open();
  later(6, [this] {
    hold("peek", false);
    close();
  });
}

void NotchController::hold(const std::string& key, bool on) {
  if (on) holds_.insert(key);
  else holds_.erase(key);
}

void NotchController::takeFocus() {
  hold("typing", true);
  desktop_.takeFocus();
}

void NotchController::releaseFocus() {
  hold("typing", false);
  desktop_.releaseFocus();
}

void NotchController::summon() {
  if (hub_.isOpen() && holds_.count("keys")) {
    dismissKeys();
    return;
  }
  hold("keys", true);
  open();
  desktop_.takeFocus();
  stage_.send("keys", {{"on", true}});
}

void NotchController::dismissKeys() {
  if (desktop_.listening()) {
    desktop_.cancelTalk();
    hold("talking", false);
    stage_.send("talk", {{"state", "off"}, {"text", ""}});
  }
  hold("keys", false);
  stage_.send("keys", {{"on", false}});
  releaseFocus();
}

void NotchController::toggleTalk() {
  if (desktop_.listening()) {
    desktop_.toggleTalk();
    return;
  }
  if (!(hub_.isOpen() && holds_.count("keys"))) summon();
  hold("talking", true);
  desktop_.toggleTalk();
  if (!desktop_.listening()) {
    // Nothing to listen with here (no microphone, or a browser-only run).
    hold("talking", false);
    stage_.send("talk", {{"state", "error"}, {"text", "Dictation is not available here"}});
  }
}

void NotchController::handle(const Json& message) {
  auto type = json::string(message, "type");
  if (!type) return;
  const std::string id = json::string(message, "id").value_or("");
  const std::string& t = *type;

  if (t == "ready") {
    push();
    if (arriving_) {
      arriving_ = false;
      stage_.send("hello");
    }
  } else if (t == "tourDone") {
    Prefs::setOnboarded(true);
    hold("tour", false);
    hold("setup", false);
  } else if (t == "rect") {
    auto x = json::number(message, "x"), y = json::number(message, "y");
    auto w = json::number(message, "w"), h = json::number(message, "h");
    if (!x || !y || !w || !h) return;
    drawn_ = {*x, *y, std::max(*w, 40.0), std::max(*h, 20.0)};
    trace::line("RECT " + rectText(drawn_));
  } else if (t == "glass") {
    desktop_.placeGlass(message);
  } else if (t == "dragStart") {
    desktop_.beginDrag();
  } else if (t == "resetPosition") {
    desktop_.resetPosition();
    push();
  } else if (t == "select") {
    hub_.select(id);
  } else if (t == "jump") {
    hub_.jump(id);
  } else if (t == "allow" || t == "deny") {
    hub_.decide(id, t);
  } else if (t == "answer") {
    std::vector<std::string> answers;
    if (const Json* list = json::array(message, "answers")) {
      for (const auto& a : *list) {
        if (!a.is_string()) {
          answers.clear();
          break;
        }
        answers.push_back(a.get<std::string>());
      }
    }
    hub_.answer(id, answers);
  } else if (t == "reply") {
    hub_.sendReply(id, json::string(message, "text").value_or(""));
    releaseFocus();
  } else if (t == "engage") {
    hub_.engage(id);
  } else if (t == "release") {
    hub_.release(id);
  } else if (t == "answerThere") {
    hub_.answerThere(id);
    releaseFocus();
  } else if (t == "dismiss") {
    hub_.dismiss(id);
  } else if (t == "clear") {
    hub_.clearFinished();
  } else if (t == "undo") {
    hub_.undoClear();
  } else if (t == "hide") {
    if (desktop_.listening()) {
      desktop_.cancelTalk();
      stage_.send("talk", {{"state", "off"}, {"text", ""}});
    }
    holds_.clear();
    stage_.send("keys", {{"on", false}});
    close();
  } else if (t == "recordingKey") {
    if (json::boolean(message, "on").value_or(false)) {
      desktop_.pauseHotKeys();
      takeFocus();
    } else {
      desktop_.reloadHotKeys();
      releaseFocus();
    }
  } else if (t == "talk") {
    toggleTalk();
  } else if (t == "askAccessibility") {
    desktop_.askAccessibility();
  } else if (t == "optionTapChanged") {
    desktop_.restartOptionTap();
  } else if (t == "open") {
    open();
  } else if (t == "setting") {
    auto key = json::string(message, "key");
    const Json* value = json::member(message, "value");
    if (!key || !value) return;
    Prefs::set(*key, *value);
    push();
  } else if (t == "copyDiagnostics") {
    desktop_.copyText(diagnostics());
  } else if (t == "usage") {
    usage_.refresh([this](const Json& totals) { stage_.send("usage", totals); });
  } else if (t == "focus") {
    if (json::boolean(message, "on").value_or(false)) takeFocus();
    else releaseFocus();
  } else if (t == "hold") {
    auto key = json::string(message, "key");
    if (!key) return;
    hold(*key, json::boolean(message, "on").value_or(false));
  } else if (t == "menu") {
    desktop_.showMenu();
  } else if (t == "quit") {
    desktop_.quit();
  } else if (t == "checkUpdates") {
    hold("settings", false);
    close();
    desktop_.checkUpdates();
  } else if (t == "log") {
    const Json* msg = json::member(message, "msg");
    std::string text = !msg ? "" : msg->is_string() ? msg->get<std::string>() : json::compact(*msg);
    trace::line("PAGE " + text);
    log::line("Talvane page: " + text);
  } else if (t == "onboardDone") {
    // A browser finished the first-run flow (a desktop run has its own onboarding window).
    Prefs::setOnboarded(true);
    push();
  }
}

std::string NotchController::diagnostics() const {
  const Json geo = desktop_.geo();
  const Json settings = Prefs::json();
  std::vector<std::string> lines;
  lines.push_back("Talvane " + std::string(TALVANE_VERSION) + " (" + TALVANE_VERSION + ")");
  utsname u{};
  lines.push_back(uname(&u) == 0 ? std::string(u.sysname) + " " + u.release : "Linux ?");
  lines.push_back("Hooks installed: " + boolText(settings.value("hooksInstalled", false)));
  lines.push_back("Socket: " + boolText(files::exists(files::home() + "/.talvane/run/talvane.sock")));
  lines.push_back("Shape: " + geo.value("shape", std::string("pill")) + ", notch " +
                  numberText(geo.value("notchWidth", Json(0))) + "pt, strip " +
                  numberText(geo.value("strip", Json(0))) + "pt, away " +
                  boolText(geo.value("away", false)) + " " + geo.value("anchor", std::string("top")));
  lines.push_back("Glass: " + boolText(geo.value("glass", false)) + " (available " +
                  boolText(geo.value("glassAvailable", false)) + ")");
  std::string sessions;
  for (const auto& s : hub_.sessions()) {
    if (!sessions.empty()) sessions += ", ";
    std::string project = files::lastComponent(s.root);
    if (project.empty() || project == "/") project = "~";
    sessions += std::string(rawValue(s.agent)) + " " + project + " " +
                std::string(moodName(s.shownMood(loop_.now())));
  }
  lines.push_back("Sessions: " + sessions);
  lines.push_back("Settings: " + json::compact(settings));
  std::string text;
  for (const auto& l : lines) text += (text.empty() ? "" : "\n") + l;
  return text;
}

Json HeadlessDesktop::geo() const {
  return {{"notchWidth", 0},     {"strip", 32},       {"shape", "pill"},
          {"stageWidth", 720},   {"stageHeight", 640}, {"away", false},
          {"anchor", "top"},     {"dragging", false}, {"glass", false},
          {"theme", Prefs::resolvedTheme()}};
}

void HeadlessDesktop::quit() {
  if (onQuit) onQuit();
}

}  // namespace talvane

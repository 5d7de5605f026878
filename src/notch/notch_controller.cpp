#include "notch/notch_controller.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "app/prefs.h"
#include "notch/trace.h"
#include "platform/files.h"
#include "platform/log.h"

namespace talvane {

namespace {

std::string numberText(const Json& v) {
  if (!v.is_number()) return "0";
  std::ostringstream out;
  out << v.get<double>();
  return out.str();
}

std::string boolText(bool b) { return b ? "true" : "false"; }

}  // namespace

std::string NotchController::rectText(const Rect& r) {
  std::ostringstream out;
  out << "(" << r.x << ", " << r.y << ", " << r.w << ", " << r.h << ")";
  return out.str();
}

// A page cannot forge log lines (control characters are escaped) or flood the log.
std::string NotchController::logSafe(std::string_view text) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  // Room for the longest escape and the closing ellipsis.
  const size_t budget = kMaxLogBytes - 8;
  size_t i = 0;
  for (; i < text.size() && out.size() < budget; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7f) {
      out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : "";
      if (c != '\n' && c != '\t' && c != '\r') {
        out += "\\x";
        out.push_back(hex[c >> 4]);
        out.push_back(hex[c & 15]);
      }
    } else if (c == 0xc2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      // C1 controls (U+0080..U+009F), e.g. NEL, which some viewers take as a line break.
      const auto d = static_cast<unsigned char>(text[++i]);
      out += "\\u00";
      out.push_back(hex[d >> 4]);
      out.push_back(hex[d & 15]);
    } else if (c == 0xe2 && i + 2 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xa8 ||
                static_cast<unsigned char>(text[i + 2]) == 0xa9)) {
      // U+2028 and U+2029: line and paragraph separators.
      out += static_cast<unsigned char>(text[i + 2]) == 0xa8 ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  if (i < text.size()) {
    // Cut back to a character boundary.
    size_t cut = out.size();
    while (cut > 0 && (static_cast<unsigned char>(out[cut - 1]) & 0xc0) == 0x80) --cut;
    if (cut > 0 && static_cast<unsigned char>(out[cut - 1]) >= 0xc0)
      --cut;
    else
      cut = out.size();
    out.resize(cut);
    out += "…";
  }
  return out;
}

NotchController::NotchController(Hub& hub, Desktop desktop, EventLoop& loop,
                                 Background::Executor usageReads)
    : hub_(hub), desktop_(desktop), loop_(loop), usage_(loop, std::move(usageReads)) {
  stage_.onMessage = [this](const Json& m) { handle(m); };
}

NotchController::~NotchController() {
  hub_.onChange = nullptr;
  hub_.onAttention = nullptr;
  desktop_.panel.onMoved = nullptr;
  desktop_.panel.onDragEnded = nullptr;
  desktop_.panel.onPointerMoved = nullptr;
  desktop_.keyboard.onEscape = nullptr;
  desktop_.keyboard.onFocusLost = nullptr;
}

std::string NotchController::pointerText() const {
  auto p = desktop_.panel.pointer();
  if (!p) return "(-1, -1)";
  std::ostringstream out;
  out << "(" << p->at.x << ", " << p->at.y << ")";
  return out.str();
}

PanelGeometry NotchController::geometry() const {
  PanelGeometry geo = desktop_.panel.geometry();
  geo.stageWidth = kStageWidth;
  geo.stageHeight = kStageHeight;
  if (geo.away) {
    geo.shape = "pill";
  } else {
    geo.shape = Prefs::shape() == "pill" ? "pill" : geo.notchWidth > 0 ? "notch" : "pill";
  }
  geo.glass = geo.glassAvailable && Prefs::glass();
  geo.theme = Prefs::resolvedTheme();
  geo.stripWidth = stripWidth_;
  if (geo.dragging || !geo.away) {
    geo.dx = 0;
    geo.edge.reset();
  }
  if (geo.edge) geo.dx = 0;
  return geo;
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
    if (Prefs::autoOpen())
      peek();
    else
      push();
  };
  desktop_.panel.onMoved = [this] {
    push();
    relayCursor();
  };
  desktop_.panel.onPointerMoved = [this] {
    // The fast poll follows the pointer already. Otherwise the first motion after a pause is
    // looked at at once, later ones at most at the fast poll's pace.
    if (pollHot_.value_or(true) || movedPending_) return;
    movedPending_ = true;
    const double wait = std::max(0.0, lastMoved_ + Hover::kHotInterval - loop_.now());
    moved_ = loop_.after(wait, [this] {
      movedPending_ = false;
      lastMoved_ = loop_.now();
      evaluateHover();
    });
  };
  desktop_.panel.onDragEnded = [this] {
    hold("drag", false);
    push();
    evaluateHover();
  };
  desktop_.keyboard.onEscape = [this] {
    if (hub_.isOpen()) stage_.send("escape");
  };
  desktop_.keyboard.onFocusLost = [this] {
    if (holds_.count("keys")) dismissKeys();
  };
  desktop_.panel.setDrawn(drawn_);
  // A panel without a window (the browser stage) has no pointer to poll.
  if (desktop_.panel.stageFrame()) setPoll(false);
  if (const char* debug = std::getenv("TALVANE_DEBUG_OPEN")) {
    const bool settings = std::string_view(debug) == "settings";
    later(1.2, [this, settings] {
      hold("debug", true);
      open();
      if (settings) openSettings();
    });
  }
  startDemos();
}

void NotchController::setPoll(bool hot) {
  if (poll_ && pollHot_ == hot) return;
  pollHot_ = hot;
  poll_ =
      loop_.every(hot ? Hover::kHotInterval : Hover::kSlowInterval,
                  hot ? Hover::kHotTolerance : Hover::kSlowTolerance, [this] { evaluateHover(); });
}

void NotchController::relayPointer(bool inside, Point at) {
  Point p{-1, -1};
  if (inside) {
    if (auto frame = desktop_.panel.stageFrame())
      p = {std::round(at.x - frame->x), std::round(at.y - frame->y)};
  }
  if (p == lastPointer_) return;
  lastPointer_ = p;
  stage_.send("pointer", {{"x", p.x}, {"y", p.y}});
}

void NotchController::evaluateHover() {
  PanelWindow& panel = desktop_.panel;
  relayCursor();
  if (panel.dragging()) return;
  auto frame = panel.stageFrame();
  auto screen = panel.screenFrame();
  auto sample = panel.pointer();
  if (!frame || !screen || !sample) return;
  Hover::Input in;
  in.pointer = sample->at;
  in.drawn = {frame->x + drawn_.x, frame->y + drawn_.y, drawn_.w, drawn_.h};
  in.screen = *screen;
  in.placed = panel.geometry().away;
  in.open = hub_.isOpen();
  in.held = !holds_.empty();
  in.closePending = static_cast<bool>(collapse_);
  // A click elsewhere leaves keyboard mode, as losing the keyboard does.
  if (sample->buttonDown && holds_.count("keys") &&
      !Hover::hitZone(in.drawn, in.open).contains(in.pointer.x, in.pointer.y)) {
    dismissKeys();
    return;
  }
  const Hover::Decision d = hover_.evaluate(in, loop_.now());
  setPoll(d.hot);
  relayPointer(d.inside, sample->at);
  if (d.cancelClose) collapse_.cancel();
  if (d.dropPeek) hold("peek", false);
  if (d.interactive) panel.setInteractive(*d.interactive);
  if (d.open) open();
  // The dwell ends between two polls: look again right then.
  if (d.dwellLeft) dwell_ = loop_.after(*d.dwellLeft, [this] { evaluateHover(); });
  if (d.scheduleClose) {
    collapse_ = loop_.after(Hover::kCloseDelay, [this] {
      collapse_ = TimerHandle();
      close();
    });
  }
}

void NotchController::beginDrag() {
  PanelWindow& panel = desktop_.panel;
  if (panel.dragging()) return;
  hold("drag", true);
  collapse_.cancel();
  trace::line("DRAG cursor=" + pointerText());
  panel.beginDrag();
  if (!panel.dragging()) {
    // Nothing to drag, or the button was already up.
    hold("drag", false);
    return;
  }
  hub_.setOpen(false);
}

void NotchController::resetPosition() {
  desktop_.panel.resetPosition();
  push();
}

void NotchController::openSettings() { stage_.send("openSettings"); }

void NotchController::tour() {
  hold("tour", true);
  open();
  stage_.send("tour");
}

void NotchController::push() {
  if (pushPending_) return;
  pushPending_ = true;
  const double gap = pushStreak_ >= kStreamAfter ? kStreamInterval : kFrameInterval;
  const double wait = lastPush_ + gap - loop_.now();
  auto send = [this, weak = std::weak_ptr<char>(alive_), generation = pushGeneration_] {
    if (!weak.lock() || !pushPending_ || generation != pushGeneration_) return;
    pushNow();
  };
  if (wait > 0)
    pushTimer_ = loop_.after(wait, std::move(send));
  else
    loop_.post(std::move(send));
}

void NotchController::pushNow() {
  pushPending_ = false;
  ++pushGeneration_;
  pushTimer_.cancel();
  const Date now = loop_.now();
  // A push soon after the last one continues a stream; a pause ends it.
  pushStreak_ = now - lastPush_ < 2 * kStreamInterval ? pushStreak_ + 1 : 0;
  lastPush_ = now;
  Json state = hub_.snapshot();
  const Json geo = geometry().json();
  state["geo"] = geo;
  state["trace"] = trace::enabled();
  // Lets a page opened in a browser offer the first-run flow.
  state["firstRun"] = !Prefs::onboarded();
  stage_.send("state", state);
  if (trace::enabled()) {
    trace::line("PUSH away=" + boolText(geo.value("away", false)) +
                " anchor=" + geo.value("anchor", std::string("top")) +
                " shape=" + geo.value("shape", std::string("pill")) +
                " stage=" + rectText({0, 0, kStageWidth, kStageHeight}) +
                " panel=" + rectText(desktop_.panel.stageFrame().value_or(Rect{})));
  }
  if (hub_.queue().empty()) holds_.erase("card");
  if (onPushed) onPushed();
}

void NotchController::open() {
  if (hub_.isOpen()) return;
  trace::line("OPEN cursor=" + pointerText());
  desktop_.panel.setOpen(true);
  hub_.setOpen(true);
}

void NotchController::close() {
  if (!hub_.isOpen() || !holds_.empty()) return;
  trace::line("CLOSE cursor=" + pointerText());
  collapse_.cancel();
  releaseFocus();
  hub_.setOpen(false);
  later(0.5, [this] {
    if (!hub_.isOpen()) desktop_.panel.setOpen(false);
  });
}

void NotchController::peek() {
  if (desktop_.panel.geometry().away) {
    push();
    return;
  }
  hold("peek", true);
  open();
  later(6, [this] {
    hold("peek", false);
    // Stays open while the pointer is over it; without a pointer to ask, it closes.
    if (desktop_.panel.pointer())
      evaluateHover();
    else
      close();
  });
}

void NotchController::hold(const std::string& key, bool on) {
  if (on)
    holds_.insert(key);
  else
    holds_.erase(key);
}

void NotchController::takeFocus() {
  hold("typing", true);
  desktop_.keyboard.takeFocus();
}

void NotchController::releaseFocus() {
  hold("typing", false);
  desktop_.keyboard.releaseFocus();
}

void NotchController::summon() {
  if (hub_.isOpen() && holds_.count("keys")) {
    dismissKeys();
    return;
  }
  hold("keys", true);
  open();
  desktop_.keyboard.takeFocus();
  stage_.send("keys", {{"on", true}});
}

void NotchController::dismissKeys() {
  DictationControl& dictation = desktop_.dictation;
  if (dictation.listening()) {
    dictation.cancel();
    hold("talking", false);
    stage_.send("talk", {{"state", "off"}, {"text", ""}});
  }
  hold("keys", false);
  stage_.send("keys", {{"on", false}});
  releaseFocus();
  evaluateHover();
}

void NotchController::toggleTalk() {
  DictationControl& dictation = desktop_.dictation;
  if (dictation.listening()) {
    dictation.toggle();
    return;
  }
  talkSummoned_ = !(hub_.isOpen() && holds_.count("keys"));
  if (talkSummoned_) summon();
  hold("talking", true);
  dictation.toggle();
  if (!dictation.listening()) {
    // Nothing to listen with here (no microphone, or a browser-only run).
    hold("talking", false);
    stage_.send("talk", {{"state", "error"}, {"text", "Dictation is not available here"}});
  }
}

std::string NotchController::diagnostics() const {
  const Json geo = geometry().json();
  const Json settings = Prefs::json();
  std::vector<std::string> lines;
  lines.push_back("Talvane " + std::string(TALVANE_VERSION) + " (" + TALVANE_VERSION + ")");
  utsname u{};
  lines.push_back(uname(&u) == 0 ? std::string(u.sysname) + " " + u.release : "Linux ?");
  lines.push_back("Hooks installed: " + boolText(settings.value("hooksInstalled", false)));
  lines.push_back("Socket: " +
                  boolText(files::exists(files::home() + "/.talvane/run/talvane.sock")));
  lines.push_back("Shape: " + geo.value("shape", std::string("pill")) + ", notch " +
                  numberText(geo.value("notchWidth", Json(0))) + "pt, strip " +
                  numberText(geo.value("strip", Json(0))) + "pt, away " +
                  boolText(geo.value("away", false)) + " " +
                  geo.value("anchor", std::string("top")));
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

}  // namespace talvane

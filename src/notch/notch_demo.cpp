// Scripted demonstrations for screen recordings. They move an artificial pointer and let the
// panel's own drag and hover code react to it, so a recording shows what a user's hand would
// cause. Every step is a loop timer: nothing here waits.
#include <cmath>
#include <cstdlib>
#include <string>

#include "notch/notch_controller.h"

namespace talvane {

namespace {

// Time for the page to load and lay out before the first move.
constexpr double kDemoStart = 1.5;
// Where the artificial pointer rests when TALVANE_FAKE_CURSOR gives no place: below the strip,
// inside the stage, so the page can draw it.
constexpr double kParkBelow = 240;
// A docking drop lands this far inside the screen's right side (docking needs under 90).
constexpr double kDockInset = 40;
// Beside an open panel (640 wide, centred on the pill) yet on the stage (720 wide).
constexpr double kStepAside = 350;

bool env(const char* name) { return std::getenv(name) != nullptr; }

// Eases in and out, as a hand moves.
double smooth(double t) { return t * t * (3 - 2 * t); }

}  // namespace

std::optional<Point> NotchController::cursorStart(std::string_view text) {
  const auto comma = text.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  auto number = [](std::string_view part) -> std::optional<double> {
    const std::string s(part);
    char* end = nullptr;
    const double d = std::strtod(s.c_str(), &end);
    if (s.empty() || end != s.c_str() + s.size() || !std::isfinite(d)) return std::nullopt;
    return d;
  };
  auto x = number(text.substr(0, comma)), y = number(text.substr(comma + 1));
  if (!x || !y) return std::nullopt;
  return Point{*x, *y};
}

void NotchController::startDemos() {
  PanelWindow& panel = desktop_.panel;
  const auto frame = panel.stageFrame();
  // Without a window (the browser stage) there is no screen to point at.
  if (!frame) return;
  if (const char* fake = std::getenv("TALVANE_FAKE_CURSOR")) {
    fakeCursor_ = true;
    const Point park{frame->x + kStageWidth / 2, frame->y + kParkBelow};
    panel.setArtificialPointer(PointerSample{cursorStart(fake).value_or(park), false});
    relayCursor();
  }
  if (env("TALVANE_DEMO_DOCK")) demoDock();
  if (env("TALVANE_DEMO_TOUR")) demoTour();
  if (demo_.empty()) return;
  demo_.front().delay = kDemoStart;
  runDemo();
}

void NotchController::runDemo() {
  if (demo_.empty()) {
    // The real pointer takes over again unless the run records with the artificial one.
    if (!fakeCursor_) desktop_.panel.setArtificialPointer(std::nullopt);
    return;
  }
  DemoStep step = std::move(demo_.front());
  demo_.pop_front();
  later(step.delay, [this, act = std::move(step.act)] {
    act();
    runDemo();
  });
}

// Picks the strip up, drags it to the demonstration screen's right side, pushing all the way,
// and drops it there: the normal drop saves the placement docked "right".
void NotchController::demoDock() {
  demo_.push_back({0, [this] {
                     if (auto strip = stripCentre()) glide(*strip, 10, 0.4);
                   }});
  demo_.push_back({0.4, [this] { press(); }});
  demo_.push_back(
      {0.2, [this] {
         auto screen = demoScreen();
         if (!screen) return;
         glide({screen->x + screen->w - kDockInset, screen->y + screen->h * 0.3}, 20, 1.0);
       }});
  demo_.push_back({0.15, [this] { release(); }});
}

// Sends the panel home, shows it opening there, then drags it to a free spot and leaves it.
void NotchController::demoTour() {
  demo_.push_back({demo_.empty() ? 0 : 1.0, [this] { resetPosition(); }});
  demo_.push_back({0.5, [this] {
                     if (auto strip = stripCentre()) glide(*strip, 12, 0.5);
                   }});
  demo_.push_back({0.8, [this] { press(); }});
  demo_.push_back({0.2, [this] {
                     auto screen = demoScreen();
                     if (!screen) return;
                     glide({screen->x + screen->w * 0.3, screen->y + screen->h * 0.45}, 20, 1.0);
                   }});
  demo_.push_back({0.15, [this] { release(); }});
  // Off to the side, past the open panel yet still on the stage (so it is drawn): the panel
  // closes behind the pointer.
  demo_.push_back({1.2, [this] {
                     if (auto p = desktop_.panel.pointer())
                       glide({p->at.x + kStepAside, p->at.y}, 8, 0.4);
                   }});
}

void NotchController::glide(Point to, int steps, double seconds) {
  const auto now = desktop_.panel.pointer();
  const bool down = now && now->buttonDown;
  const Point from = desktop_.panel.artificialPointer() && now ? now->at : to;
  std::deque<DemoStep> moves;
  for (int i = 1; i <= steps; ++i) {
    const double k = smooth(double(i) / steps);
    const Point at{from.x + (to.x - from.x) * k, from.y + (to.y - from.y) * k};
    moves.push_back({seconds / steps, [this, at, down] { moveCursor(at, down); }});
  }
  demo_.insert(demo_.begin(), moves.begin(), moves.end());
}

void NotchController::moveCursor(Point to, bool down) {
  PanelWindow& panel = desktop_.panel;
  panel.setArtificialPointer(PointerSample{to, down});
  if (panel.dragging()) {
    panel.followCursor();
    // Every step of a scripted drag reaches the page, as a recording wants; it is a few dozen.
    pushNow();
  }
  // As a pointer-moved event would.
  evaluateHover();
}

void NotchController::press() {
  auto p = desktop_.panel.pointer();
  if (!p) return;
  moveCursor(p->at, true);
  beginDrag();
}

void NotchController::release() {
  auto p = desktop_.panel.pointer();
  if (!p) return;
  moveCursor(p->at, false);
  // The drag would notice the button on its next tick; the drop is now.
  desktop_.panel.endDrag();
}

std::optional<Point> NotchController::stripCentre() const {
  auto frame = desktop_.panel.stageFrame();
  if (!frame) return std::nullopt;
  return Point{frame->x + drawn_.x + drawn_.w / 2, frame->y + drawn_.y + drawn_.h / 2};
}

std::optional<Rect> NotchController::demoScreen() const {
  if (auto s = desktop_.panel.demoScreenFrame()) return s;
  return desktop_.panel.screenFrame();
}

void NotchController::relayCursor() {
  if (!fakeCursor_) return;
  Json cursor = {{"x", -1}, {"y", -1}, {"down", false}};
  auto p = desktop_.panel.pointer();
  auto frame = desktop_.panel.stageFrame();
  if (p && frame) {
    const double x = std::round(p->at.x - frame->x), y = std::round(p->at.y - frame->y);
    if (x >= 0 && x < kStageWidth && y >= 0 && y < kStageHeight)
      cursor = {{"x", x}, {"y", y}, {"down", p->buttonDown}};
  }
  if (cursor == lastCursor_) return;
  lastCursor_ = cursor;
  stage_.send("cursor", cursor);
}

}  // namespace talvane

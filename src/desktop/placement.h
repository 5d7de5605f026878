#pragma once
// Where the panel hangs: pure functions over the connected screens and the stored placement,
// in global coordinates with the origin at the top-left (as X11 and GDK count). The back ends
// only apply what these return.

#include <optional>
#include <string>
#include <vector>

#include "notch/desktop.h"
#include "notch/strip.h"
#include "platform/settings_store.h"

namespace talvane {

struct Screen {
  std::string key;  // connector and model, else its index
  Rect frame;
  Rect workarea;  // the frame without panels and bars
};

struct Placement {
  std::string screen;
  double cx = 0;                    // the panel's centre from the screen's left edge
  double top = 0;                   // the panel's top from the screen's top edge
  std::optional<std::string> edge;  // "left" or "right"
  bool operator==(const Placement&) const = default;
};

namespace Placing {

constexpr double kStageWidth = 720, kStageHeight = 640;
// The placed pill, as high and as far from the stage's edge as the page draws it; the pointer
// sits halfway into it when dragging.
constexpr double kPill = Strip::kPlacedHeight, kInset = Strip::kPlacedMargin, kGrip = kPill / 2;
constexpr double kHomeRadius = 110, kDockDistance = 90;

// A screen's key from its connector ("DP-1") and model name and its index: two monitors of one
// model differ by connector, and a monitor moved to another port is another place. "screen"
// (what Xvfb and some drivers report) would make its entry "placement.screen", the key naming
// the chosen screen.
std::string screenKey(const std::string& connector, const std::string& model, int index);

// TALVANE_FAKE_NOTCH, read once: a pretend notch width for screens without one.
std::optional<double> fakeNotch();
// A screen number as TALVANE_DEMO_SCREEN gives it: GDK's monitor index, counted from 0. None
// for anything but plain decimal digits.
std::optional<std::size_t> screenNumber(const char* text);
// TALVANE_DEMO_SCREEN, read once: the screen recordings are made on.
std::optional<std::size_t> demoScreen();
// The index of the screen the panel hangs from at home: the demonstration screen while a fake
// notch is set and that screen is connected; else the primary one; else the first.
std::size_t homeScreen(std::size_t count, std::optional<std::size_t> primary,
                       std::optional<double> fake, std::optional<std::size_t> demo);
// Where the scripted demonstrations play: the demonstration screen when it is connected, else
// the home screen; none without screens.
const Screen* demoScreenOf(const std::vector<Screen>& screens, std::size_t home,
                           std::optional<std::size_t> demo);

// The stored placement when its screen is connected. A placement for another screen stays
// stored for when that screen returns.
std::optional<Placement> current(const SettingsStore& store, const std::vector<Screen>& screens);
void save(SettingsStore& store, const Placement& placement);
// Back home: the per-screen entries stay for later.
void forget(SettingsStore& store);

const Screen* find(const std::vector<Screen>& screens, const std::string& key);
// The screen the panel hangs on: the placement's, else the home screen; none without screens.
const Screen* screenOf(const std::vector<Screen>& screens, std::size_t home,
                       const std::optional<Placement>& placement);

// Height of the bars along the screen's top edge (struts, exclusive zones): what the work
// area leaves out above it. The strip hangs below them, never over a bar's clock.
double topInset(const Screen& screen);
// The lowest a placed pill may go up: below the bars, at least 24 from the top.
double menuBar(const Screen& screen);
std::string anchor(const std::optional<Placement>& placement, const Screen* screen);
Rect stageRect(const std::vector<Screen>& screens, std::size_t home,
               const std::optional<Placement>& placement);
// The stage while dragging: the pointer centred, 23 below the stage's top.
Rect dragFrame(Point pointer);

// The closed strip as the page lays it out for `geo`, in stage coordinates, with its corner
// radii (top-left, top-right, bottom-right, bottom-left). The window draws it itself until the
// page's first frame, so the strip shows while the web process is still starting.
struct StripShape {
  Rect rect;
  double radii[4] = {0, 0, 0, 0};
};
StripShape closedStrip(const PanelGeometry& geo);

// The cubic timing curve through (0,0), (x1,y1), (x2,y2), (1,1) at time fraction `t` (0…1).
double ease(double t, double x1, double y1, double x2, double y2);
// Where an animated move from `from` to `to` is at time fraction `t`; the drop's curve
// overshoots slightly.
Rect settle(const Rect& from, const Rect& to, double t);
constexpr double kSettleSeconds = 0.28;

// What a drop at `pointer` does.
struct Drop {
  enum class Kind { kKeep, kHome, kPlace } kind = Kind::kKeep;
  Placement placement;
};
Drop drop(Point pointer, const std::vector<Screen>& screens, std::size_t home,
          const std::optional<Placement>& placement);
// Stores what a drop decided: home forgets the placement, a place saves it, keep leaves both.
void remember(SettingsStore& store, const Drop& drop);

// Where the window takes pointer input: the drawn shape while open, interactive (the closed
// strip's dwell) or dragged; else what the back end keeps for a closed strip (X11: nothing).
std::optional<Rect> inputArea(const Rect& drawn, bool open, bool interactive, bool dragging,
                              const std::optional<Rect>& closed);

// Why the window is out of sight, if it is: on a locked screen nothing of it shows, not even an
// open panel (whose state waits for the unlock); beside a fullscreen window on its screen the
// closed strip steps aside, while an open or dragged panel stays.
enum class Hidden { no, locked, fullscreen };
Hidden hidden(bool locked, bool fullscreenBelow, bool open, bool dragging);

// The geometry keys the back end knows (shape, glass and theme are the controller's).
PanelGeometry geometry(const std::vector<Screen>& screens, std::size_t home,
                       const std::optional<Placement>& placement, bool dragging,
                       std::optional<double> fake);

}  // namespace Placing
}  // namespace talvane

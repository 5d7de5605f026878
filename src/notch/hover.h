#pragma once
// When the pointer opens and closes the panel: pure decisions over one pointer sample and the
// time, so any clock can drive them. The controller applies the decision (timers, window).

#include <optional>

#include "notch/desktop.h"
#include "platform/event_loop.h"

namespace talvane {

class Hover {
 public:
  // Poll intervals and their tolerances (seconds): near or over the panel, and elsewhere.
  static constexpr double kHotInterval = 0.03, kHotTolerance = 0.01;
  static constexpr double kSlowInterval = 0.4, kSlowTolerance = 0.15;
  // How long the pointer rests before a closed panel opens.
  static constexpr double kDwellHome = 0.04, kDwellPlaced = 0.12;
  // The delay of the close after the pointer left an open panel.
  static constexpr double kCloseDelay = 0.1;
  // Distance within which a closed panel polls fast.
  static constexpr double kNear = 120;

  struct Input {
    Point pointer;
    Rect drawn;   // the drawn rectangle in global coordinates (origin top-left)
    Rect screen;  // the screen the panel hangs on
    bool placed = false;
    bool open = false;
    bool held = false;          // any hold is set
    bool closePending = false;  // a delayed close is scheduled
  };

  struct Decision {
    bool hot = false;     // poll at the fast rate
    bool inside = false;  // relay the pointer as inside the panel
    bool open = false;    // open the panel now
    bool scheduleClose = false;
    bool cancelClose = false;
    bool dropPeek = false;
    // Seconds until a resting pointer opens the panel, while it rests.
    std::optional<double> dwellLeft;
    // Placed panels take clicks only while the pointer is over them.
    std::optional<bool> interactive;
  };

  Decision evaluate(const Input& in, Date now);
  void reset() { insideSince_.reset(); }

  // The area that counts as over the panel, grown more generously below an open one.
  static Rect hitZone(const Rect& drawn, bool open);
  // Shortest distance from a point to a rectangle (0 inside).
  static double distance(const Rect& r, Point p);

 private:
  std::optional<Date> insideSince_;
};

}  // namespace talvane

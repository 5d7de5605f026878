#include "notch/hover.h"

#include <algorithm>
#include <cmath>

namespace talvane {

Rect Hover::hitZone(const Rect& drawn, bool open) {
  const double side = open ? 20 : 24, above = 8, below = open ? 16 : 8;
  return {drawn.x - side, drawn.y - above, drawn.w + 2 * side, drawn.h + above + below};
}

double Hover::distance(const Rect& r, Point p) {
  const double dx = std::max({r.x - p.x, 0.0, p.x - (r.x + r.w)});
  const double dy = std::max({r.y - p.y, 0.0, p.y - (r.y + r.h)});
  return std::hypot(dx, dy);
}

Hover::Decision Hover::evaluate(const Input& in, Date now) {
  Decision d;
  const Rect zone = hitZone(in.drawn, in.open);
  const Point p = in.pointer;
  if (!zone.contains(p.x, p.y)) {
    insideSince_.reset();
    if (in.open) {
      d.hot = true;
    } else if (in.placed) {
      d.hot = distance(in.drawn, p) <= kNear;
    } else {
      d.hot = p.y - in.screen.y < kNear && p.y >= in.screen.y && p.x >= in.screen.x &&
              p.x < in.screen.x + in.screen.w;
    }
    if (!in.open) {
      if (in.placed) d.interactive = false;
      return d;
    }
    d.scheduleClose = !in.closePending && !in.held;
    return d;
  }
  d.hot = true;
  d.inside = in.open;
  d.cancelClose = in.closePending;
  d.dropPeek = true;
  if (in.open) return d;
  if (in.placed) d.interactive = true;
  if (!insideSince_) insideSince_ = now;
  const double dwell = in.placed ? kDwellPlaced : kDwellHome;
  // A hair of slack: timer ticks land on the dwell boundary give or take float rounding.
  d.open = now - *insideSince_ >= dwell - 1e-6;
  if (!d.open) d.dwellLeft = *insideSince_ + dwell - now;
  return d;
}

}  // namespace talvane

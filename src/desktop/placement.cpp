#include "desktop/placement.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace talvane::Placing {

namespace {

constexpr const char* kScreenKey = "placement.screen";

std::optional<double> asNumber(const Json& v) {
  if (v.is_number()) return v.get<double>();
  if (!v.is_string()) return std::nullopt;
  const std::string s = v.get<std::string>();
  char* end = nullptr;
  double d = std::strtod(s.c_str(), &end);
  if (s.empty() || end != s.c_str() + s.size()) return std::nullopt;
  return d;
}

}  // namespace

std::string screenKey(const std::string& connector, const std::string& model, int index) {
  std::string key;
  for (const std::string* part : {&connector, &model}) {
    if (part->empty() || *part == "screen" || *part == key) continue;
    if (!key.empty()) key += ' ';
    key += *part;
  }
  return key.empty() ? "monitor-" + std::to_string(index) : key;
}

std::optional<double> fakeNotch() {
  static const std::optional<double> width = []() -> std::optional<double> {
    const char* v = std::getenv("TALVANE_FAKE_NOTCH");
    if (!v || !*v) return std::nullopt;
    char* end = nullptr;
    double d = std::strtod(v, &end);
    if (*end || !std::isfinite(d)) return std::nullopt;
    return d;
  }();
  return width;
}

std::optional<std::size_t> screenNumber(const char* text) {
  if (!text || !*text || std::strlen(text) > 4) return std::nullopt;
  std::size_t n = 0;
  for (const char* c = text; *c; ++c) {
    if (*c < '0' || *c > '9') return std::nullopt;
    n = n * 10 + std::size_t(*c - '0');
  }
  return n;
}

std::optional<std::size_t> demoScreen() {
  static const std::optional<std::size_t> number = screenNumber(std::getenv("TALVANE_DEMO_SCREEN"));
  return number;
}

std::size_t homeScreen(std::size_t count, std::optional<std::size_t> primary,
                       std::optional<double> fake, std::optional<std::size_t> demo) {
  if (fake && demo && *demo < count) return *demo;
  if (primary && *primary < count) return *primary;
  return 0;
}

const Screen* demoScreenOf(const std::vector<Screen>& screens, std::size_t home,
                           std::optional<std::size_t> demo) {
  if (demo && *demo < screens.size()) return &screens[*demo];
  return screenOf(screens, home, std::nullopt);
}

const Screen* find(const std::vector<Screen>& screens, const std::string& key) {
  for (const auto& s : screens)
    if (s.key == key) return &s;
  return nullptr;
}

std::optional<Placement> current(const SettingsStore& store, const std::vector<Screen>& screens) {
  auto key = store.get(kScreenKey);
  if (!key || !key->is_string()) return std::nullopt;
  Placement p;
  p.screen = key->get<std::string>();
  if (!find(screens, p.screen)) return std::nullopt;
  auto stored = store.get("placement." + p.screen);
  if (!stored || !stored->is_array()) return std::nullopt;
  std::vector<double> numbers;
  for (const auto& v : *stored)
    if (auto n = asNumber(v)) numbers.push_back(*n);
  if (numbers.size() < 2 || !std::isfinite(numbers[0]) || !std::isfinite(numbers[1]))
    return std::nullopt;
  p.cx = numbers[0];
  p.top = numbers[1];
  if (numbers.size() >= 3 && std::isfinite(numbers[2]) &&
      std::fabs(numbers[2]) < static_cast<double>(std::numeric_limits<int>::max())) {
    const int code = static_cast<int>(numbers[2]);
    if (code == 1) p.edge = "left";
    if (code == 2) p.edge = "right";
  }
  return p;
}

void save(SettingsStore& store, const Placement& p) {
  const int code = p.edge == "left" ? 1 : p.edge == "right" ? 2 : 0;
  store.set("placement." + p.screen, Json::array({p.cx, p.top, code}));
  store.set(kScreenKey, p.screen);
}

void forget(SettingsStore& store) { store.remove(kScreenKey); }

const Screen* screenOf(const std::vector<Screen>& screens, std::size_t home,
                       const std::optional<Placement>& placement) {
  if (placement)
    if (const Screen* s = find(screens, placement->screen)) return s;
  if (screens.empty()) return nullptr;
  return &screens[std::min(home, screens.size() - 1)];
}

double topInset(const Screen& s) {
  const double inset = s.workarea.y - s.frame.y;
  // No work area known, or one that is not a top bar's.
  if (s.workarea.w <= 0 || s.workarea.h <= 0 || inset <= 0 || inset > s.frame.h / 2) return 0;
  return inset;
}

double menuBar(const Screen& s) { return std::max(24.0, topInset(s)); }

std::string anchor(const std::optional<Placement>& placement, const Screen* screen) {
  if (!placement || !screen) return "top";
  return placement->top + kGrip > screen->frame.h / 2 ? "bottom" : "top";
}

Rect stageRect(const std::vector<Screen>& screens, std::size_t home,
               const std::optional<Placement>& given) {
  // A placement for a screen that is gone counts as none.
  const auto placement = given && find(screens, given->screen) ? given : std::nullopt;
  const Screen* screen = screenOf(screens, home, placement);
  if (!screen) return {0, 0, kStageWidth, kStageHeight};
  const Rect& f = screen->frame;
  if (!placement)
    return {std::round(f.x + f.w / 2 - kStageWidth / 2), f.y + topInset(*screen), kStageWidth,
            kStageHeight};
  double x;
  if (placement->edge == "left") {
    x = f.x;
  } else if (placement->edge == "right") {
    x = f.x + f.w - kStageWidth;
  } else {
    x = std::round(placement->cx + f.x - kStageWidth / 2);
    x = std::max(f.x, std::min(x, f.x + f.w - kStageWidth));
  }
  const double y = anchor(placement, screen) == "bottom"
                       ? std::round(f.y + placement->top + kPill + kInset - kStageHeight)
                       : std::round(f.y + placement->top - kInset);
  return {x, y, kStageWidth, kStageHeight};
}

Rect dragFrame(Point p) {
  return {std::round(p.x - kStageWidth / 2), std::round(p.y - kGrip - kInset), kStageWidth,
          kStageHeight};
}

double ease(double t, double x1, double y1, double x2, double y2) {
  t = std::clamp(t, 0.0, 1.0);
  auto bez = [](double s, double a, double b) {
    const double u = 1 - s;
    return 3 * u * u * s * a + 3 * u * s * s * b + s * s * s;
  };
  // Solve x(s) = t by bisection: monotonic for control x within [0, 1].
  double lo = 0, hi = 1, s = t;
  for (int i = 0; i < 40; ++i) {
    s = (lo + hi) / 2;
    if (bez(s, x1, x2) < t)
      lo = s;
    else
      hi = s;
  }
  return bez(s, y1, y2);
}

Rect settle(const Rect& from, const Rect& to, double t) {
  const double k = t >= 1 ? 1 : ease(t, 0.2, 0.9, 0.3, 1.05);
  return {std::round(from.x + (to.x - from.x) * k), std::round(from.y + (to.y - from.y) * k), to.w,
          to.h};
}

Drop drop(Point p, const std::vector<Screen>& screens, std::size_t home,
          const std::optional<Placement>& placement) {
  Drop d;
  const Screen* screen = nullptr;
  for (const auto& s : screens)
    if (s.frame.contains(p.x, p.y)) screen = &s;
  if (!screen) screen = screenOf(screens, home, placement);
  if (!screen) return d;
  const Rect& f = screen->frame;
  const bool isHome = screen == &screens[std::min(home, screens.size() - 1)];
  if (isHome && std::hypot(p.x - (f.x + f.w / 2), p.y - f.y) <= kHomeRadius) {
    d.kind = Drop::Kind::kHome;
    return d;
  }
  d.kind = Drop::Kind::kPlace;
  d.placement.screen = screen->key;
  if (p.x - f.x < kDockDistance)
    d.placement.edge = "left";
  else if (f.x + f.w - p.x < kDockDistance)
    d.placement.edge = "right";
  d.placement.cx = std::clamp(p.x - f.x, 30.0, std::max(30.0, f.w - 30));
  const double low = menuBar(*screen) + 4, high = f.h - kPill - 4;
  d.placement.top = std::clamp(p.y - f.y - kGrip, low, std::max(low, high));
  return d;
}

void remember(SettingsStore& store, const Drop& d) {
  if (d.kind == Drop::Kind::kHome) forget(store);
  if (d.kind == Drop::Kind::kPlace) save(store, d.placement);
}

std::optional<Rect> inputArea(const Rect& drawn, bool open, bool interactive, bool dragging,
                              const std::optional<Rect>& closed) {
  if (open || interactive || dragging) return drawn;
  return closed;
}

Hidden hidden(bool locked, bool fullscreenBelow, bool open, bool dragging) {
  if (locked) return Hidden::locked;
  if (fullscreenBelow && !open && !dragging) return Hidden::fullscreen;
  return Hidden::no;
}

PanelGeometry geometry(const std::vector<Screen>& screens, std::size_t home,
                       const std::optional<Placement>& given, bool dragging,
                       std::optional<double> fake) {
  const auto placement = given && find(screens, given->screen) ? given : std::nullopt;
  PanelGeometry g;
  const Screen* screen = screenOf(screens, home, placement);
  g.notchWidth = fake && !placement ? *fake : 0;
  // Hanging below the bars, the strip is a pill of its own height.
  g.strip = fake || !screen || topInset(*screen) > 0 ? 32 : menuBar(*screen);
  g.away = placement.has_value();
  g.anchor = anchor(placement, screen);
  g.dragging = dragging;
  if (placement && screen && !dragging && !placement->edge) {
    const Rect stage = stageRect(screens, home, placement);
    g.dx = screen->frame.x + placement->cx - (stage.x + kStageWidth / 2);
  }
  if (placement && !dragging) g.edge = placement->edge;
  return g;
}

StripShape closedStrip(const PanelGeometry& geo) {
  // The page's stripSize, place and corners (web/src/layout.ts) over the same numbers.
  using namespace Strip;
  double w = stripWidthFor(geo.stripWidth).value_or(kPillWidth), h = kPillHeight;
  if (geo.away) {
    h = kPill;
  } else if (geo.shape == "notch" && geo.notchWidth > 0) {
    w = std::round(geo.notchWidth + 2 * kWing);
    h = std::max(kMinHeight, std::round(geo.strip));
  }
  const double W = geo.stageWidth, H = geo.stageHeight;
  double x = geo.edge == "left"    ? 0
             : geo.edge == "right" ? W - w
                                   : std::round((W - w) / 2 + (std::isfinite(geo.dx) ? geo.dx : 0));
  x = std::min(std::max(0.0, x), std::max(0.0, W - w));
  double y = geo.anchor == "bottom" ? H - h - (geo.away ? kInset : 0) : (geo.away ? kInset : 0);
  StripShape shape;
  shape.rect = {x, std::max(0.0, y), w, h};
  const double r = geo.shape == "notch" && !geo.away ? kNotchRadius : kPillRadius;
  auto set = [&](double tl, double tr, double br, double bl) {
    shape.radii[0] = tl, shape.radii[1] = tr, shape.radii[2] = br, shape.radii[3] = bl;
  };
  if (geo.away && geo.edge == "left")
    set(0, r, r, 0);
  else if (geo.away && geo.edge == "right")
    set(r, 0, 0, r);
  else if (geo.away)
    set(r, r, r, r);
  else if (geo.anchor == "bottom")
    set(r, r, 0, 0);
  else
    set(0, 0, r, r);
  return shape;
}

}  // namespace talvane::Placing

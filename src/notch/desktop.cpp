#include "notch/desktop.h"

#include <algorithm>
#include <cmath>

namespace talvane {

Json PanelGeometry::json() const {
  return {{"notchWidth", notchWidth},
          {"strip", strip},
          {"shape", shape},
          {"stageWidth", stageWidth},
          {"stageHeight", stageHeight},
          {"away", away},
          {"anchor", anchor},
          {"dragging", dragging},
          {"dx", dx},
          {"edge", edge ? Json(*edge) : Json(nullptr)},
          {"glass", glass},
          {"glassAvailable", glassAvailable},
          {"theme", theme},
          {"stripWidth", stripWidth}};
}

std::optional<double> stripWidthFor(const Json& wanted) {
  if (!wanted.is_number()) return std::nullopt;
  const double w = wanted.get<double>();
  if (!std::isfinite(w)) return std::nullopt;
  return std::clamp(std::ceil(w), Strip::kPillWidth, Strip::kPillMaxWidth);
}

namespace {

std::optional<Rect> rectOf(const Json& v) {
  auto x = json::number(v, "x"), y = json::number(v, "y");
  auto w = json::number(v, "w"), h = json::number(v, "h");
  if (!x || !y || !w || !h) return std::nullopt;
  return Rect{*x, *y, *w, *h};
}

}  // namespace

GlassRequest GlassRequest::parse(const Json& message) {
  GlassRequest r;
  r.on = json::boolean(message, "on").value_or(false);
  if (const Json* rects = json::array(message, "rects")) {
    for (const auto& item : *rects) {
      auto rect = rectOf(item);
      if (!rect) continue;
      r.shapes.push_back({*rect, json::number(item, "r").value_or(16)});
    }
  }
  r.animate = json::boolean(message, "animate").value_or(true);
  if (const Json* seed = json::member(message, "seed")) r.seed = rectOf(*seed);
  r.fuse = json::number(message, "fuse").value_or(0);
  r.light = json::boolean(message, "light").value_or(false);
  return r;
}

}  // namespace talvane

#include "notch/hover.h"

#include <gtest/gtest.h>

namespace talvane {
namespace {

// A screen 1920 wide; the drawn strip 200×32 centred at its top.
Hover::Input at(double x, double y, bool open = false, bool placed = false) {
  Hover::Input in;
  in.pointer = {x, y};
  in.drawn = {860, 0, 200, 32};
  in.screen = {0, 0, 1920, 1080};
  in.open = open;
  in.placed = placed;
  return in;
}

TEST(Hover, HitZoneGrowsMoreBelowAnOpenPanel) {
  struct Row {
    Point p;
    bool open;
    bool inside;
  } rows[] = {
      {{860 - 24, 10}, false, true},  {{860 - 25, 10}, false, false},
      {{1060 + 23, 10}, false, true}, {{1060 + 24, 10}, false, false},
      {{900, 32 + 7}, false, true},   {{900, 32 + 8}, false, false},
      {{900, 32 + 15}, true, true},   {{900, 32 + 16}, true, false},
      {{860 - 20, 10}, true, true},   {{860 - 21, 10}, true, false},
  };
  for (const auto& r : rows) {
    const Rect zone = Hover::hitZone({860, 0, 200, 32}, r.open);
    EXPECT_EQ(zone.contains(r.p.x, r.p.y), r.inside) << r.p.x << "," << r.p.y << " open=" << r.open;
  }
}

TEST(Hover, ClosedPanelOpensOnlyAfterTheDwell) {
  struct Row {
    bool placed;
    double dwell;
  } rows[] = {{false, Hover::kDwellHome}, {true, Hover::kDwellPlaced}};
  for (const auto& r : rows) {
    Hover h;
    const Date t0 = 1000;
    auto d = h.evaluate(at(900, 10, false, r.placed), t0);
    EXPECT_FALSE(d.open);
    EXPECT_TRUE(d.hot);
    EXPECT_FALSE(d.inside) << "a closed panel relays the pointer as outside";
    EXPECT_FALSE(h.evaluate(at(905, 12, false, r.placed), t0 + r.dwell - 0.01).open);
    EXPECT_TRUE(h.evaluate(at(905, 12, false, r.placed), t0 + r.dwell).open);
    // Leaving starts the dwell again.
    h.evaluate(at(10, 900, false, r.placed), t0 + 1);
    EXPECT_FALSE(h.evaluate(at(900, 10, false, r.placed), t0 + 2).open);
  }
}

TEST(Hover, PollRateFollowsTheDistance) {
  struct Row {
    Point p;
    bool open, placed, hot;
  } rows[] = {
      {{100, 119}, false, false, true},  // home: anywhere in the top 120 of the screen
      {{100, 121}, false, false, false},
      {{900, 32 + 119}, false, true, true},  // placed: within 120 of the drawn rectangle
      {{900, 32 + 121}, false, true, false},
      {{10, 1000}, true, false, true},  // open: always fast
  };
  for (const auto& r : rows) {
    Hover h;
    EXPECT_EQ(h.evaluate(at(r.p.x, r.p.y, r.open, r.placed), 0).hot, r.hot)
        << r.p.x << "," << r.p.y;
  }
}

TEST(Hover, LeavingAnOpenPanelSchedulesOneCloseUnlessHeld) {
  Hover h;
  auto in = at(10, 900, /*open=*/true);
  EXPECT_TRUE(h.evaluate(in, 0).scheduleClose);
  in.closePending = true;
  EXPECT_FALSE(h.evaluate(in, 0.03).scheduleClose) << "one pending close is enough";
  in.closePending = false;
  in.held = true;
  EXPECT_FALSE(h.evaluate(in, 0.06).scheduleClose);
  // Coming back cancels the pending close, drops a peek and relays the pointer.
  auto back = at(900, 10, true);
  back.closePending = true;
  auto d = h.evaluate(back, 0.09);
  EXPECT_TRUE(d.cancelClose);
  EXPECT_TRUE(d.dropPeek);
  EXPECT_TRUE(d.inside);
  EXPECT_FALSE(d.open) << "already open";
}

TEST(Hover, PlacedPanelTakesClicksOnlyWhileThePointerIsOverIt) {
  Hover h;
  EXPECT_EQ(h.evaluate(at(900, 10, false, true), 0).interactive, true);
  EXPECT_EQ(h.evaluate(at(900, 500, false, true), 0.1).interactive, false);
  EXPECT_FALSE(h.evaluate(at(900, 10, false, false), 0.2).interactive.has_value());
}

}  // namespace
}  // namespace talvane

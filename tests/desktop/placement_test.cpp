#include "desktop/placement.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>

namespace talvane {
namespace {

// Two screens side by side: the home one with a 30-high bar, a second to its right.
const std::vector<Screen> kScreens = {
    {"HDMI-1", {0, 0, 1920, 1080}, {0, 30, 1920, 1050}},
    {"DP-2", {1920, 0, 1280, 1024}, {1920, 0, 1280, 1024}},
};

TEST(Placement, DropsDecideHomeDockOrPlace) {
  using Kind = Placing::Drop::Kind;
  struct Row {
    Point at;
    Kind kind;
    std::string screen;
    std::optional<std::string> edge;
    double cx, top;
  } rows[] = {
      {{960, 110}, Kind::kHome, "", {}, 0, 0},               // 110 from the home point
      {{960, 111}, Kind::kPlace, "HDMI-1", {}, 960, 94},     // 111: placed
      {{89, 500}, Kind::kPlace, "HDMI-1", "left", 89, 483},  // 89 from the left: docked
      {{90, 500}, Kind::kPlace, "HDMI-1", {}, 90, 483},      // 90: not
      {{1900, 500}, Kind::kPlace, "HDMI-1", "right", 1890, 483},
      {{960, 1079}, Kind::kPlace, "HDMI-1", {}, 960, 1080 - 38},  // clamped to height − 38
      {{500, 200}, Kind::kPlace, "HDMI-1", {}, 500, 183},
      {{500, 40}, Kind::kPlace, "HDMI-1", {}, 500, 34},  // at least bar + 4
      {{2560, 5}, Kind::kPlace, "DP-2", {}, 640, 28},    // no home point there
  };
  for (const auto& r : rows) {
    auto d = Placing::drop(r.at, kScreens, 0, std::nullopt);
    EXPECT_EQ(d.kind, r.kind) << r.at.x << "," << r.at.y;
    if (r.kind != Kind::kPlace) continue;
    EXPECT_EQ(d.placement.screen, r.screen);
    EXPECT_EQ(d.placement.edge, r.edge) << r.at.x;
    EXPECT_DOUBLE_EQ(d.placement.cx, r.cx) << r.at.x;
    EXPECT_DOUBLE_EQ(d.placement.top, r.top) << r.at.y;
  }
}

TEST(Placement, DropsHomeForgetAndPlacesSave) {
  MemorySettingsStore store;
  const Placement there{"DP-2", 640, 28, {}};
  Placing::save(store, there);
  const auto home = Placing::drop({960, 60}, kScreens, 0, there);
  ASSERT_EQ(home.kind, Placing::Drop::Kind::kHome);
  Placing::remember(store, home);
  EXPECT_FALSE(Placing::current(store, kScreens)) << "dropped home, it is no longer placed";
  Placing::remember(store, Placing::drop({2560, 5}, kScreens, 0, std::nullopt));
  EXPECT_EQ(Placing::current(store, kScreens), there);
  Placing::remember(store, {});  // a drop that keeps
  EXPECT_EQ(Placing::current(store, kScreens), there);
}

// A closed strip takes clicks only while the controller makes it interactive (its dwell), open,
// or dragged; otherwise only what the back end keeps for it.
TEST(Placement, InputAreaFollowsOpenInteractiveAndDragging) {
  const Rect pill{520, 6, 200, 34};
  const std::optional<Rect> none, kept = Rect{520, 6, 200, 2};
  struct Row {
    bool open, interactive, dragging;
    std::optional<Rect> closed, area;
  } rows[] = {
      {false, false, false, none, none},  // X11: a closed strip lets clicks through
      {false, true, false, none, pill},   // its dwell: the placed strip takes the click
      {true, false, false, none, pill},  {false, false, true, none, pill},
      {false, false, false, kept, kept}, {false, true, false, kept, pill},
  };
  for (const auto& r : rows)
    EXPECT_EQ(Placing::inputArea(pill, r.open, r.interactive, r.dragging, r.closed), r.area)
        << r.open << r.interactive << r.dragging;
}

// A locked screen hides everything, an open panel too; a fullscreen window only the closed,
// undragged strip. Unlocked, the window comes back as fullscreen and the panel's state say.
TEST(Placement, LockHidesEverythingFullscreenOnlyTheClosedStrip) {
  using H = Placing::Hidden;
  struct Row {
    bool locked, fullscreen, open, dragging;
    H hidden;
  } rows[] = {
      {false, false, false, false, H::no},   {true, false, false, false, H::locked},
      {true, false, true, false, H::locked}, {true, true, false, false, H::locked},
      {true, false, false, true, H::locked}, {false, true, false, false, H::fullscreen},
      {false, true, true, false, H::no},     {false, true, false, true, H::no},
  };
  for (const auto& r : rows)
    EXPECT_EQ(Placing::hidden(r.locked, r.fullscreen, r.open, r.dragging), r.hidden)
        << r.locked << r.fullscreen << r.open << r.dragging;
}

TEST(Placement, DemoScreenIsHomeOnlyWithAFakeNotch) {
  constexpr auto none = std::nullopt;
  struct Row {
    std::optional<std::size_t> primary;
    std::optional<double> fake;
    std::optional<std::size_t> demo;
    std::size_t home, played;
  } rows[] = {
      {0, 200, 1, 1, 1},        // fake notch and a connected demo screen: that screen
      {0, none, 1, 0, 1},       // without the fake notch the primary stays home
      {1, 200, 0, 0, 0},        // the demo screen wins over the primary
      {1, 200, 2, 1, 1},        // not connected: as if unnamed
      {1, 200, none, 1, 1},     // unnamed
      {none, 200, none, 0, 0},  // no primary: the first
      {5, none, none, 0, 0},    // a primary out of range: the first
  };
  for (const auto& r : rows) {
    const std::size_t home = Placing::homeScreen(kScreens.size(), r.primary, r.fake, r.demo);
    EXPECT_EQ(home, r.home) << r.primary.value_or(99) << " " << r.demo.value_or(99);
    EXPECT_EQ(Placing::demoScreenOf(kScreens, home, r.demo), &kScreens[r.played]);
  }
  EXPECT_EQ(Placing::demoScreenOf({}, 0, 1), nullptr);
}

TEST(Placement, ScreenNumbersAreDecimalDigitsOnly) {
  struct Row {
    const char* text;
    std::optional<std::size_t> number;
  } rows[] = {
      {"0", 0}, {"12", 12}, {nullptr, {}}, {"-1", {}}, {"1.0", {}}, {" 1", {}}, {"99999", {}},
  };
  for (const auto& r : rows)
    EXPECT_EQ(Placing::screenNumber(r.text), r.number) << (r.text ? r.text : "(null)");
}

TEST(Placement, StageRectFollowsEdgeClampAndAnchor) {
  struct Row {
    std::optional<Placement> p;
    Rect stage;
    std::string anchor;
  } rows[] = {
      {std::nullopt, {600, 30, 720, 640}, "top"},  // below the home screen's bar
      {Placement{"HDMI-1", 500, 183, {}}, {140, 177, 720, 640}, "top"},
      {Placement{"HDMI-1", 100, 183, {}}, {0, 177, 720, 640}, "top"},  // clamped to the screen
      {Placement{"HDMI-1", 100, 183, "right"}, {1200, 177, 720, 640}, "top"},
      {Placement{"HDMI-1", 500, 600, {}}, {140, 0, 720, 640}, "bottom"},  // 600+34+6−640
      {Placement{"DP-2", 640, 28, {}}, {2200, 22, 720, 640}, "top"},
      {Placement{"DP-2", 640, 28, "right"}, {2480, 22, 720, 640}, "top"},  // the screen's x counts
      {Placement{"DP-2", 640, 28, "left"}, {1920, 22, 720, 640}, "top"},
      {Placement{"gone", 640, 28, {}}, {600, 30, 720, 640}, "top"},  // screen not connected
  };
  for (const auto& r : rows) {
    EXPECT_EQ(Placing::stageRect(kScreens, 0, r.p), r.stage) << (r.p ? r.p->cx : -1);
    const Screen* s = r.p ? Placing::find(kScreens, r.p->screen) : nullptr;
    if (s || !r.p) {
      EXPECT_EQ(Placing::anchor(r.p, s ? s : &kScreens[0]), r.anchor);
    }
  }
  EXPECT_EQ(Placing::stageRect({}, 0, std::nullopt), (Rect{0, 0, 720, 640}));
}

TEST(Placement, HomeHangsBelowTopBarsOnly) {
  struct Row {
    const char* name;
    Rect workarea;
    double y, strip;
  } rows[] = {
      {"a 28-high top bar", {0, 28, 1920, 1052}, 28, 32},
      {"no bars", {0, 0, 1920, 1080}, 0, 24},
      {"a bottom dock only", {0, 0, 1920, 1040}, 0, 24},
      {"a left dock only", {64, 0, 1856, 1080}, 0, 24},
      {"no work area known", {0, 0, 0, 0}, 0, 24},
      {"nonsense: more than half the screen", {0, 700, 1920, 380}, 0, 24},
  };
  for (const auto& r : rows) {
    const std::vector<Screen> one = {{"DP-1", {0, 0, 1920, 1080}, r.workarea}};
    EXPECT_EQ(Placing::stageRect(one, 0, std::nullopt).y, r.y) << r.name;
    EXPECT_EQ(Placing::geometry(one, 0, std::nullopt, false, {}).strip, r.strip) << r.name;
  }
}

TEST(Placement, StoredPlacementsReadLenientlyAndWaitForTheirScreen) {
  struct Row {
    Json stored;
    std::optional<Placement> read;
  } rows[] = {
      {Json::array({500, 183, 1}), Placement{"HDMI-1", 500, 183, "left"}},
      {Json::array({"120", 183}), Placement{"HDMI-1", 120, 183, {}}},
      {Json::array({500, 183, 2.9}), Placement{"HDMI-1", 500, 183, "right"}},
      {Json::array({500, 183, 7}), Placement{"HDMI-1", 500, 183, {}}},
      {Json::array({500, "x", 183}), Placement{"HDMI-1", 500, 183, {}}},  // bad element dropped
      {Json::array({500}), std::nullopt},
      {Json("500,183"), std::nullopt},
  };
  for (const auto& r : rows) {
    MemorySettingsStore store;
    store.set("placement.screen", "HDMI-1");
    store.set("placement.HDMI-1", r.stored);
    EXPECT_EQ(Placing::current(store, kScreens), r.read) << r.stored.dump();
  }
  MemorySettingsStore store;
  Placing::save(store, {"DP-9", 10, 40, "right"});
  EXPECT_FALSE(Placing::current(store, kScreens)) << "DP-9 is not connected";
  EXPECT_EQ(store.get("placement.DP-9"), Json::array({10, 40, 2})) << "but stays stored";
  auto withIt = kScreens;
  withIt.push_back({"DP-9", {3200, 0, 800, 600}, {3200, 0, 800, 600}});
  EXPECT_EQ(Placing::current(store, withIt), (Placement{"DP-9", 10, 40, "right"}));
  Placing::forget(store);
  EXPECT_FALSE(Placing::current(store, withIt));
}

TEST(Placement, SettlingOvershootsSlightlyAndEndsExactlyOnTarget) {
  const Rect from{0, 0, 720, 640}, to{1000, 0, 720, 640};
  double most = 0;
  for (int i = 0; i <= 20; ++i) most = std::max(most, Placing::settle(from, to, i / 20.0).x);
  EXPECT_GT(most, 1000) << "the drop overshoots";
  EXPECT_LT(most, 1030);
  EXPECT_EQ(Placing::settle(from, to, 1.0), to);
  EXPECT_EQ(Placing::settle(from, to, 5.0), to);
  EXPECT_EQ(Placing::settle(from, to, 0.0), from);
}

TEST(Placement, ScreenKeysTellSameModelMonitorsApartAndNeverNameTheChosenScreensKey) {
  struct Row {
    const char* connector;
    const char* model;
    int index;
    const char* key;
  } rows[] = {
      {"DP-1", "DELL U2720Q", 0, "DP-1 DELL U2720Q"},
      {"DP-2", "DELL U2720Q", 1, "DP-2 DELL U2720Q"},
      {"HDMI-1", "", 0, "HDMI-1"},
      {"", "DELL U2720Q", 3, "DELL U2720Q"},
      {"HDMI-1", "HDMI-1", 0, "HDMI-1"},  // X11 GDK names the connector as the model
      {"screen", "screen", 0, "monitor-0"},
      {"", "", 2, "monitor-2"},
  };
  for (const auto& r : rows) EXPECT_EQ(Placing::screenKey(r.connector, r.model, r.index), r.key);

  // Two monitors of one model keep separate places.
  const std::vector<Screen> twins = {
      {Placing::screenKey("DP-1", "U2720Q", 0), {0, 0, 1920, 1080}, {}},
      {Placing::screenKey("DP-2", "U2720Q", 1), {1920, 0, 1920, 1080}, {}},
  };
  MemorySettingsStore store;
  Placing::save(store, {twins[0].key, 100, 200, {}});
  Placing::save(store, {twins[1].key, 900, 300, "right"});
  EXPECT_EQ(Placing::current(store, twins), (Placement{"DP-2 U2720Q", 900, 300, "right"}));
  EXPECT_EQ(store.get("placement.DP-1 U2720Q"), Json::array({100, 200, 0}));

  const std::vector<Screen> xvfb = {
      {Placing::screenKey("screen", "screen", 0), {0, 0, 800, 600}, {}}};
  Placing::save(store, {xvfb[0].key, 100, 200, {}});
  EXPECT_EQ(Placing::current(store, xvfb), (Placement{"monitor-0", 100, 200, {}}));
}

TEST(Placement, GeometryTellsAwayDxEdgeAndStrip) {
  auto home = Placing::geometry(kScreens, 0, std::nullopt, false, std::nullopt);
  EXPECT_FALSE(home.away);
  EXPECT_EQ(home.strip, 32);
  EXPECT_EQ(home.dx, 0);
  EXPECT_FALSE(home.edge);
  // Clamped at the left edge: the pill sits 260 left of the stage's centre.
  auto clamped = Placing::geometry(kScreens, 0, Placement{"HDMI-1", 100, 183, {}}, false, {});
  EXPECT_TRUE(clamped.away);
  EXPECT_EQ(clamped.dx, -260);
  auto docked = Placing::geometry(kScreens, 0, Placement{"HDMI-1", 100, 183, "left"}, false, {});
  EXPECT_EQ(docked.edge, "left");
  EXPECT_EQ(docked.dx, 0);
  auto dragging = Placing::geometry(kScreens, 0, Placement{"HDMI-1", 100, 183, "left"}, true, {});
  EXPECT_FALSE(dragging.edge);
  EXPECT_TRUE(dragging.dragging);
  auto fake = Placing::geometry(kScreens, 0, std::nullopt, false, 200.0);
  EXPECT_EQ(fake.notchWidth, 200);
  EXPECT_EQ(fake.strip, 32);
  auto placedFake = Placing::geometry(kScreens, 0, Placement{"HDMI-1", 500, 183, {}}, false, 200.0);
  EXPECT_EQ(placedFake.notchWidth, 0) << "a placed pill shows no demonstration notch";
  EXPECT_EQ(Placing::dragFrame({960, 500}), (Rect{600, 477, 720, 640}));
}

// The strip the window draws before the page must sit where the page will draw it: the page's
// tests check the same cases.
TEST(Placement, ClosedStripMatchesThePagesLayout) {
  std::ifstream in(TALVANE_SOURCE_DIR "/web/tests/strip-cases.json");
  const Json cases = Json::parse(in);
  ASSERT_FALSE(cases.empty());
  for (const Json& c : cases) {
    const Json& g = c["geo"];
    PanelGeometry geo;
    geo.shape = g.value("shape", geo.shape);
    geo.notchWidth = g.value("notchWidth", geo.notchWidth);
    geo.strip = g.value("strip", geo.strip);
    geo.stageWidth = g.value("stageWidth", geo.stageWidth);
    geo.stageHeight = g.value("stageHeight", geo.stageHeight);
    geo.away = g.value("away", geo.away);
    geo.anchor = g.value("anchor", geo.anchor);
    geo.dx = g.value("dx", geo.dx);
    geo.stripWidth = g.value("stripWidth", geo.stripWidth);
    if (g.contains("edge")) geo.edge = g["edge"].get<std::string>();
    const Json& r = c["rect"];
    const auto shape = Placing::closedStrip(geo);
    const std::string name = c["name"];
    EXPECT_EQ(shape.rect, (Rect{r["x"], r["y"], r["w"], r["h"]})) << name;
    EXPECT_EQ(std::to_array(shape.radii), (c["radii"].get<std::array<double, 4>>())) << name;
  }
}

}  // namespace
}  // namespace talvane

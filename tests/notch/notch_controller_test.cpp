#include "notch/notch_controller.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app/prefs.h"
#include "notch/headless_desktop.h"
#include "platform/manual_loop.h"
#include "support/test_home.h"

namespace talvane {
namespace {

struct Page : PageHost {
  std::vector<Json> got;
  void load(const PageSource&) override {}
  void deliver(const std::string& m) override { got.push_back(Json::parse(m)); }
  std::vector<std::string> types() const {
    std::vector<std::string> t;
    for (const auto& m : got) t.push_back(m["type"]);
    return t;
  }
};

struct FakeDesktop : HeadlessDesktop {
  bool talking = false;
  bool hasVoice = true;
  int cancelled = 0;
  std::vector<std::string> calls;
  bool available() const override { return hasVoice; }
  void toggle() override { talking = hasVoice && !talking; }
  bool listening() const override { return talking; }
  void cancel() override {
    ++cancelled;
    talking = false;
  }
  void beginDrag() override { calls.push_back("drag"); }
  void showMenu() override { calls.push_back("menu"); }
  void quit() override { calls.push_back("quit"); }
};

// A panel on a 1920×1080 screen at home, with a pointer the test moves.
struct WindowedDesktop : FakeDesktop {
  Point at{10, 900};
  bool button = false;
  bool interactive = false;
  std::optional<Rect> stageFrame() const override { return Rect{600, 0, 720, 640}; }
  std::optional<Rect> screenFrame() const override { return Rect{0, 0, 1920, 1080}; }
  std::optional<PointerSample> readPointer() const override { return PointerSample{at, button}; }
  void setInteractive(bool on) override { interactive = on; }
};

class NotchControllerTest : public ::testing::Test {
 protected:
  NotchControllerTest()
      : binding(store),
        hub(loop, store, settings()),
        notch(hub, desktop.parts(), loop, Background::inline_()) {
    notch.stage().setHost(&page);
  }
  static HubSettings settings() {
    HubSettings s;
    s.prefs = [] { return Prefs::json(); };
    return s;
  }
  // Shows the panel and lets the page say it is ready.
  void ready(bool arriving = false) {
    notch.show(arriving);
    notch.stage().receive({{"type", "ready"}});
    loop.runPending();
  }
  void send(const Json& m) {
    notch.stage().receive(m);
    flush();
  }
  // Lets a state the last step asked for reach the page: states go out at most once per frame,
  // or a few times a second while they stream.
  void flush() {
    loop.runPending();
    loop.advance(NotchController::kStreamInterval);
  }
  Json lastState() const {
    for (auto it = page.got.rbegin(); it != page.got.rend(); ++it)
      if ((*it)["type"] == "state") return *it;
    return nullptr;
  }
  // A Claude Code session waiting on a permission request; returns the session id.
  std::string waitingSession(int* replies, std::string* answer) {
    auto pending = hub.claude({{"hook_event_name", "PermissionRequest"},
                               {"session_id", "s1"},
                               {"cwd", "/tmp"},
                               {"tool_name", "Bash"},
                               {"tool_input", {{"command", "ls"}}},
                               {"_agent", "claude"}},
                              [=](const std::string& a) {
                                ++*replies;
                                *answer = a;
                              });
    flush();
    return pending ? "claude:s1" : "";
  }

  ManualLoop loop;
  MemorySettingsStore store;
  Prefs::Binding binding;
  Hub hub;
  FakeDesktop desktop;
  NotchController notch;
  Page page;
};

TEST_F(NotchControllerTest, ReadyPushesEveryTimeButGreetsOnlyOnce) {
  ready(/*arriving=*/true);
  send({{"type", "ready"}});
  EXPECT_EQ(page.types(), (std::vector<std::string>{"state", "hello", "state"}));
  Json state = page.got[0];
  EXPECT_TRUE(state.contains("sessions"));
  EXPECT_EQ(state["geo"]["stageWidth"], 720);
  EXPECT_EQ(state["geo"]["stageHeight"], 640);
  EXPECT_EQ(state["trace"], false);
}

TEST_F(NotchControllerTest, GeometryCarriesAllFourteenKeys) {
  ready();
  const Json geo = lastState()["geo"];
  EXPECT_EQ(geo.size(), 14u);
  for (const char* key :
       {"notchWidth", "strip", "shape", "stageWidth", "stageHeight", "away", "anchor", "dragging",
        "dx", "edge", "glass", "glassAvailable", "theme", "stripWidth"})
    EXPECT_TRUE(geo.contains(key)) << key;
  EXPECT_TRUE(geo["edge"].is_null());
  EXPECT_EQ(geo["glassAvailable"], false);
  EXPECT_EQ(geo["glass"], false);
}

// Changes streaming in (a busy agent) send a state per frame at first, then a few per second,
// never one per change; a change after a pause still goes out on the next pass.
TEST_F(NotchControllerTest, StatesAreCoalescedWhileChangesStream) {
  ready();
  page.got.clear();
  auto states = [&] {
    return std::count_if(page.got.begin(), page.got.end(),
                         [](const Json& m) { return m["type"] == "state"; });
  };
  loop.advance(1);
  notch.push();
  notch.push();
  loop.runPending();
  EXPECT_EQ(states(), 1) << "two calls in one pass, one state, without waiting";

  page.got.clear();
  for (int i = 0; i < 200; ++i) {  // one change every 5 ms for a second
    hub.setOpen(i % 2 == 0);
    loop.runPending();
    loop.advance(0.005);
  }
  loop.advance(0.5);
  EXPECT_GE(states(), 8);
  EXPECT_LE(states(), 1 + NotchController::kStreamAfter + 1 / NotchController::kStreamInterval + 2);
  EXPECT_EQ(lastState()["open"], hub.isOpen()) << "the last change is shown";

  page.got.clear();
  notch.push();
  loop.runPending();
  EXPECT_EQ(states(), 1) << "after a pause the next change goes out at once";
}

class HoverControllerTest : public ::testing::Test {
 protected:
  HoverControllerTest() : binding(store), hub(loop, store, {}), notch(hub, desktop.parts(), loop) {
    notch.stage().setHost(&page);
    notch.show(false);
    notch.stage().receive({{"type", "ready"}});
    loop.runPending();
  }
  // The drawn strip (260, 0, 200, 32) of a stage at x 600: 860..1060 on screen.
  void over() { desktop.at = {900, 10}; }
  void away() { desktop.at = {10, 900}; }
  std::vector<Json> sent(const std::string& type) const {
    std::vector<Json> out;
    for (const auto& m : page.got)
      if (m["type"] == type) out.push_back(m);
    return out;
  }

  ManualLoop loop;
  MemorySettingsStore store;
  Prefs::Binding binding;
  Hub hub;
  WindowedDesktop desktop;
  NotchController notch;
  Page page;
};

TEST_F(HoverControllerTest, RestingOnTheStripOpensAndLeavingClosesAfterAPause) {
  EXPECT_EQ(notch.pollHot(), false);
  over();
  loop.advance(0.4);  // the slow poll notices the pointer
  EXPECT_EQ(notch.pollHot(), true);
  EXPECT_FALSE(hub.isOpen());
  loop.advance(0.06);
  EXPECT_TRUE(hub.isOpen());
  EXPECT_TRUE(desktop.isOpen());
  away();
  loop.advance(0.05);
  EXPECT_TRUE(hub.isOpen()) << "closing waits 0.1 s";
  over();  // back in time: stays open
  loop.advance(0.2);
  EXPECT_TRUE(hub.isOpen());
  away();
  loop.advance(0.2);
  EXPECT_FALSE(hub.isOpen());
  loop.advance(0.6);
  EXPECT_FALSE(desktop.isOpen()) << "the window stops taking clicks half a second later";
}

TEST_F(HoverControllerTest, PointerMotionAndTheDwellsEndAreLookedAtAtOnceNotAtTheNextPoll) {
  loop.advance(0.05);
  for (int i = 0; i < 20; ++i) desktop.onPointerMoved();  // far away: nothing to open
  loop.advance(Hover::kHotInterval);
  EXPECT_EQ(notch.pollHot(), false);
  over();
  for (int i = 0; i < 20; ++i) desktop.onPointerMoved();
  loop.advance(Hover::kHotInterval);
  EXPECT_EQ(notch.pollHot(), true) << "well before the slow poll's 0.4 s";
  // Far off again, a first motion after a pause is looked at without delay.
  away();
  loop.advance(0.2);
  ASSERT_EQ(notch.pollHot(), false);
  over();
  desktop.onPointerMoved();
  loop.advance(0);
  EXPECT_EQ(notch.pollHot(), true);
  loop.advance(Hover::kDwellHome);
  EXPECT_TRUE(hub.isOpen()) << "at the dwell's end, not at the next poll";
}

TEST_F(HoverControllerTest, TypingKeepsThePanelOpenWhenThePointerLeaves) {
  over();
  loop.advance(0.5);
  ASSERT_TRUE(hub.isOpen());
  notch.stage().receive({{"type", "focus"}, {"on", true}});
  away();
  loop.advance(1);
  EXPECT_TRUE(hub.isOpen());
}

TEST_F(HoverControllerTest, PointerIsRelayedInStageCoordinatesOnlyWhenItMoves) {
  over();
  loop.advance(0.5);
  ASSERT_TRUE(hub.isOpen());
  page.got.clear();
  desktop.at = {700.4, 20.6};  // outside the strip's zone: relayed as (-1, -1)
  loop.advance(0.03);
  desktop.at = {905.3, 12.2};
  loop.advance(0.03);
  loop.advance(0.03);  // unchanged: nothing new
  auto pointers = sent("pointer");
  ASSERT_EQ(pointers.size(), 2u);
  EXPECT_EQ(pointers[0]["x"], -1);
  EXPECT_EQ(pointers[1]["x"], 305);
  EXPECT_EQ(pointers[1]["y"], 12);
}

TEST_F(HoverControllerTest, KeysModeEndsOnEscapeClickAwayOrLostFocus) {
  notch.summon();
  EXPECT_TRUE(desktop.focused());
  page.got.clear();
  desktop.onEscape();
  EXPECT_EQ(sent("escape").size(), 1u);
  desktop.onFocusLost();
  EXPECT_FALSE(notch.holds().count("keys"));
  EXPECT_FALSE(desktop.focused());
  ASSERT_EQ(sent("keys").size(), 1u);
  EXPECT_EQ(sent("keys")[0]["on"], false);

  notch.summon();
  desktop.at = {100, 500};
  desktop.button = true;  // a click in another window
  loop.advance(0.05);
  EXPECT_FALSE(notch.holds().count("keys"));
  loop.advance(0.5);
  EXPECT_FALSE(hub.isOpen());

  hub.setOpen(false);
  page.got.clear();
  desktop.onEscape();
  EXPECT_TRUE(sent("escape").empty()) << "Escape reaches the page only while it is open";
}

TEST_F(HoverControllerTest, ClickingInsideThePanelKeepsKeysMode) {
  notch.summon();
  over();
  desktop.button = true;
  loop.advance(0.1);
  EXPECT_TRUE(notch.holds().count("keys"));
}

TEST_F(HoverControllerTest, OpenFromTheTrayStaysOpenInKeysModeUntilEscape) {
  away();  // the pointer is on the tray
  notch.perform(MenuAction::open);
  loop.advance(1);
  EXPECT_TRUE(hub.isOpen());
  EXPECT_TRUE(desktop.focused());
  notch.perform(MenuAction::open);  // again: still open, not toggled shut
  EXPECT_TRUE(notch.holds().count("keys"));
  desktop.onFocusLost();
  loop.advance(0.5);
  EXPECT_FALSE(hub.isOpen());
}

TEST_F(HoverControllerTest, MenuItemsReachThePage) {
  page.got.clear();
  notch.openSettings();
  notch.tour();
  EXPECT_EQ(sent("openSettings").size(), 1u);
  EXPECT_EQ(sent("tour").size(), 1u);
  EXPECT_TRUE(notch.holds().count("tour"));
  EXPECT_TRUE(hub.isOpen());
}

TEST_F(NotchControllerTest, RectKeepsAMinimumSizeAndNeedsAllFourNumbers) {
  ready();
  send({{"type", "rect"}, {"x", 5}, {"y", 6}, {"w", 10}, {"h", 5}});
  EXPECT_EQ(notch.drawn(), (Rect{5, 6, 40, 20}));
  send({{"type", "rect"}, {"x", 1}, {"y", 2}, {"w", "300"}, {"h", 50}});
  EXPECT_EQ(notch.drawn(), (Rect{5, 6, 40, 20}));
}

// The page asks for a pill as wide as its text; the width it gets back is what it draws and
// reports as its rectangle, so it stays within the strip's limits whatever the page sends.
TEST_F(NotchControllerTest, StripWidthComesBackWithinTheLimits) {
  ready();
  EXPECT_EQ(lastState()["geo"]["stripWidth"], 200);
  const struct {
    Json w;
    double back;
  } cases[] = {{236, 236}, {263.2, 264}, {900, 300}, {120, 200}, {"250", 200}, {nullptr, 200}};
  for (const auto& c : cases) {
    send({{"type", "stripWidth"}, {"w", c.w}});
    EXPECT_EQ(lastState()["geo"]["stripWidth"], c.back) << c.w.dump();
  }
  page.got.clear();
  send({{"type", "stripWidth"}, {"w", 200}});
  EXPECT_TRUE(page.got.empty()) << "the same width again pushes nothing";
}

TEST_F(NotchControllerTest, AllowReachesTheAgentOnceAndMistypedAnswersBecomeEmpty) {
  ready();
  int replies = 0;
  std::string answer;
  std::string id = waitingSession(&replies, &answer);
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(lastState()["queue"].size(), 1u);
  send({{"type", "allow"}, {"id", id}});
  send({{"type", "allow"}, {"id", id}});
  EXPECT_EQ(replies, 1);
  auto decision = Json::parse(answer);
  EXPECT_EQ(decision["hookSpecificOutput"]["decision"]["behavior"], "allow");
  EXPECT_TRUE(lastState()["queue"].empty());
}

TEST_F(NotchControllerTest, AllowOrDenyNamingAnotherRequestIsIgnored) {
  ready();
  int replies = 0;
  std::string answer;
  const std::string id = waitingSession(&replies, &answer);
  const std::string request = lastState()["sessions"][0]["pending"]["id"];
  send({{"type", "deny"}, {"id", id}, {"request", "claude:s1:older"}});
  send({{"type", "allow"}, {"id", id}, {"request", 7}});  // mistyped: as if absent
  ASSERT_EQ(replies, 1);
  EXPECT_EQ(Json::parse(answer)["hookSpecificOutput"]["decision"]["behavior"], "allow");
  waitingSession(&replies, &answer);
  send({{"type", "deny"}, {"id", id}, {"request", lastState()["sessions"][0]["pending"]["id"]}});
  EXPECT_EQ(replies, 2);
  EXPECT_FALSE(request.empty());
}

TEST(NotchControllerLog, PageLogTextIsEscapedAndBounded) {
  struct Case {
    std::string in, out;
  };
  for (const Case& c : std::vector<Case>{
           {"plain text", "plain text"},
           {"a\nTalvane: forged", "a\\nTalvane: forged"},
           {"cr\r tab\t esc\x1b[2J bell\x07", "cr\\r tab\\t esc\\x1b[2J bell\\x07"},
           {"back\\slash", "back\\\\slash"},
           {"nel\xc2\x85 ls\xe2\x80\xa8", "nel\\u0085 ls\\u2028"},
           {"caf\xc3\xa9", "caf\xc3\xa9"},
       }) {
    EXPECT_EQ(NotchController::logSafe(c.in), c.out) << c.in;
  }
  for (const std::string& big : {std::string(100000, 'x'), std::string(100000, '\n'), [] {
                                   std::string s;
                                   for (int i = 0; i < 30000; ++i) s += "\xc3\xa9";
                                   return s;
                                 }()}) {
    const std::string out = NotchController::logSafe(big);
    EXPECT_LE(out.size(), NotchController::kMaxLogBytes);
    EXPECT_GT(out.size(), NotchController::kMaxLogBytes - 16);
    EXPECT_EQ(out.substr(out.size() - 3), "…");
    EXPECT_EQ(Json(out).dump().empty(), false);  // still valid UTF-8
  }
}

TEST_F(NotchControllerTest, ReplyWithoutTextStillReleasesFocus) {
  ready();
  send({{"type", "focus"}, {"on", true}});
  EXPECT_TRUE(notch.holds().count("typing"));
  EXPECT_TRUE(desktop.focused());
  send({{"type", "reply"}, {"id", "claude:none:reply"}});
  EXPECT_FALSE(notch.holds().count("typing"));
  EXPECT_FALSE(desktop.focused());
}

// Each command in turn, and whether the panel holds the keyboard (and the hot keys) after it.
TEST_F(NotchControllerTest, CommandsTakeAndLeaveTheKeyboard) {
  ready();
  const struct {
    Json message;
    bool typing;
    bool hotKeysPaused;
  } steps[] = {
      {{{"type", "recordingKey"}, {"on", true}}, true, true},
      {{{"type", "recordingKey"}, {"on", false}}, false, false},
      {{{"type", "focus"}, {"on", true}}, true, false},
      {{{"type", "answerThere"}, {"id", "claude:none"}}, false, false},
      {{{"type", "focus"}, {"on", true}}, true, false},
      {{{"type", "focus"}}, false, false},  // "on" missing: off
  };
  for (const auto& step : steps) {
    send(step.message);
    EXPECT_EQ(notch.holds().count("typing") == 1, step.typing) << step.message.dump();
    EXPECT_EQ(desktop.focused(), step.typing) << step.message.dump();
    EXPECT_EQ(desktop.hotKeysPaused(), step.hotKeysPaused) << step.message.dump();
  }
  send({{"type", "hold"}, {"key", "settings"}, {"on", true}});
  send({{"type", "checkUpdates"}});
  EXPECT_FALSE(notch.holds().count("settings"));
}

TEST_F(NotchControllerTest, SettingChangesThePreferenceAndTheNextMessageIsTheNewState) {
  ready();
  page.got.clear();
  send({{"type", "setting"}, {"key", "hideAfter"}, {"value", 30}});
  ASSERT_FALSE(page.got.empty());
  EXPECT_EQ(page.got[0]["type"], "state");
  EXPECT_EQ(page.got[0]["settings"]["hideAfter"], 30);
  EXPECT_EQ(Prefs::hideAfter(), 30);
  page.got.clear();
  send({{"type", "setting"}, {"key", "hideAfter"}});  // no value: ignored
  EXPECT_TRUE(page.got.empty());
}

TEST_F(NotchControllerTest, HideWhileDictatingStopsTalkBeforeLeavingKeys) {
  ready();
  send({{"type", "talk"}});
  EXPECT_TRUE(desktop.listening());
  EXPECT_TRUE(hub.isOpen());
  EXPECT_TRUE(notch.holds().count("keys"));
  EXPECT_TRUE(notch.holds().count("talking"));
  page.got.clear();
  send({{"type", "hide"}});
  auto types = page.types();
  auto talkOff = std::find(types.begin(), types.end(), "talk");
  auto keysOff = std::find(types.begin(), types.end(), "keys");
  ASSERT_NE(talkOff, types.end());
  ASSERT_NE(keysOff, types.end());
  EXPECT_LT(talkOff, keysOff);
  EXPECT_EQ(page.got[talkOff - types.begin()]["state"], "off");
  EXPECT_EQ(desktop.cancelled, 1);
  EXPECT_TRUE(notch.holds().empty());
  EXPECT_FALSE(hub.isOpen());
}

TEST_F(NotchControllerTest, TalkWithoutAVoiceReportsAnErrorAndHoldsNothing) {
  desktop.hasVoice = false;
  ready();
  send({{"type", "talk"}});
  EXPECT_FALSE(notch.holds().count("talking"));
  auto talk = std::find_if(page.got.begin(), page.got.end(),
                           [](const Json& m) { return m["type"] == "talk"; });
  ASSERT_NE(talk, page.got.end());
  EXPECT_EQ((*talk)["state"], "error");
}

TEST_F(NotchControllerTest, HoldsKeepThePanelOpenUntilHide) {
  ready();
  send({{"type", "open"}});
  EXPECT_TRUE(hub.isOpen());
  send({{"type", "hold"}, {"key", "card"}, {"on", true}});
  notch.close();
  EXPECT_TRUE(hub.isOpen());
  send({{"type", "hold"}, {"key", "card"}});  // "on" missing: off
  notch.close();
  EXPECT_FALSE(hub.isOpen());
  EXPECT_TRUE(desktop.isOpen());  // the window follows half a second later
  loop.advance(0.5);
  EXPECT_FALSE(desktop.isOpen());
}

TEST_F(NotchControllerTest, UsageAnswersWithTheMeterAndDiagnosticsListSessions) {
  ready();
  int replies = 0;
  std::string answer;
  waitingSession(&replies, &answer);
  page.got.clear();
  send({{"type", "usage"}});
  ASSERT_EQ(page.got.size(), 1u);
  EXPECT_EQ(page.got[0]["type"], "usage");
  EXPECT_TRUE(page.got[0]["today"].is_number());
  send({{"type", "copyDiagnostics"}});
  EXPECT_NE(desktop.clipboard().find("Sessions: claude tmp waiting"), std::string::npos);
  ASSERT_EQ(page.got.back()["type"], "diagnostics");
  EXPECT_EQ(page.got.back()["text"], desktop.clipboard());
  EXPECT_NE(desktop.clipboard().find("Socket: false"), std::string::npos);
  // The page hears whether the clipboard took the text, so it never says "Copied" in vain.
  for (bool reachable : {false, true}) {
    desktop.clipboardReachable = reachable;
    send({{"type", "copyDiagnostics"}});
    EXPECT_EQ(page.got.back()["copied"], reachable);
  }
  send({{"type", "menu"}});
  send({{"type", "dragStart"}});
  send({{"type", "bogus"}});
  send({{"id", "x"}});
  EXPECT_EQ(desktop.calls, (std::vector<std::string>{"menu", "drag"}));
}

TEST_F(NotchControllerTest, TourDoneAndOnboardDoneMarkTheUserOnboarded) {
  ready();
  EXPECT_EQ(lastState()["firstRun"], true);
  send({{"type", "hold"}, {"key", "tour"}, {"on", true}});
  send({{"type", "tourDone"}});
  EXPECT_TRUE(Prefs::onboarded());
  EXPECT_FALSE(notch.holds().count("tour"));
  send({{"type", "onboardDone"}});
  EXPECT_EQ(lastState()["firstRun"], false);
}

}  // namespace
}  // namespace talvane

namespace talvane {
namespace {

TEST_F(NotchControllerTest, StatusMenuReflectsTheHubAndItsItemsAct) {
  ready();
  int replies = 0;
  std::string answer;
  waitingSession(&replies, &answer);
  MenuFacts facts = notch.menuFacts();
  EXPECT_EQ(facts.visibleSessions, 1u);
  EXPECT_EQ(facts.queuedSessions, 1u);
  EXPECT_FALSE(facts.clearable) << "a waiting session is never cleared";
  EXPECT_FALSE(facts.placed);

  page.got.clear();
  notch.perform(MenuAction::settings);
  EXPECT_TRUE(hub.isOpen());
  EXPECT_EQ(page.types().back(), "openSettings");
  notch.perform(MenuAction::quit);
  EXPECT_EQ(desktop.calls, (std::vector<std::string>{"quit"}));
}

}  // namespace
}  // namespace talvane

namespace talvane {
namespace {

// Sets an environment variable for one test and puts the old value back.
struct ScopedEnv {
  std::string name;
  std::optional<std::string> was;
  ScopedEnv(std::string n, const char* value) : name(std::move(n)) {
    if (const char* old = std::getenv(name.c_str())) was = old;
    if (value)
      setenv(name.c_str(), value, 1);
    else
      unsetenv(name.c_str());
  }
  ~ScopedEnv() {
    if (was)
      setenv(name.c_str(), was->c_str(), 1);
    else
      unsetenv(name.c_str());
  }
};

// Two screens: home "A" (1920×1080) and the demonstration screen "B" to its right. Drags follow
// pointer() as a back end's do; a drop saves the screen under the pointer, docked "right" within
// 90 of its right side (the full drop rule is the placement tests').
struct TwoScreenDesktop : WindowedDesktop {
  const Rect a{0, 0, 1920, 1080}, b{1920, 0, 1280, 800};
  Rect frame{600, 0, 720, 640};
  bool isDragging = false;
  int follows = 0;
  std::optional<std::pair<std::string, std::optional<std::string>>> placed;
  std::optional<Rect> stageFrame() const override { return frame; }
  std::optional<Rect> screenFrame() const override {
    return placed && placed->first == "B" ? b : a;
  }
  std::optional<Rect> demoScreenFrame() const override { return b; }
  PanelGeometry geometry() const override {
    PanelGeometry g;
    g.away = placed.has_value();
    g.dragging = isDragging;
    return g;
  }
  bool dragging() const override { return isDragging; }
  void beginDrag() override {
    auto p = pointer();
    if (!p || !p->buttonDown) return;
    isDragging = true;
    followCursor();
  }
  void followCursor() override {
    if (!isDragging) return;
    auto p = pointer();
    if (!p->buttonDown) return endDrag();
    ++follows;
    frame = {p->at.x - 360, p->at.y - 23, 720, 640};
  }
  void endDrag() override {
    if (!isDragging) return;
    isDragging = false;
    const Point at = pointer()->at;
    const Rect& s = b.contains(at.x, at.y) ? b : a;
    std::optional<std::string> edge;
    if (s.x + s.w - at.x < 90) edge = "right";
    placed = {{&s == &b ? "B" : "A", edge}};
    calls.push_back("drop");
    if (onDragEnded) onDragEnded();
  }
  void resetPosition() override {
    placed.reset();
    frame = {600, 0, 720, 640};
    calls.push_back("reset");
  }
};

class DemoTest : public ::testing::Test {
 protected:
  DemoTest() : binding(store), hub(loop, store, {}), notch(hub, desktop.parts(), loop) {
    notch.stage().setHost(&page);
  }
  void start() {
    notch.show(false);
    notch.stage().receive({{"type", "ready"}});
    loop.runPending();
  }
  int draggingStates() const {
    int n = 0;
    for (const auto& m : page.got) n += m["type"] == "state" && m["geo"]["dragging"] == true;
    return n;
  }
  std::vector<Json> cursors() const {
    std::vector<Json> out;
    for (const auto& m : page.got)
      if (m["type"] == "cursor") out.push_back(m);
    return out;
  }

  ManualLoop loop;
  MemorySettingsStore store;
  Prefs::Binding binding;
  Hub hub;
  TwoScreenDesktop desktop;
  NotchController notch;
  Page page;
};

TEST_F(DemoTest, DockDragsToTheDemoScreensRightSidePushingAllTheWay) {
  ScopedEnv dock("TALVANE_DEMO_DOCK", "1"), fake("TALVANE_FAKE_CURSOR", nullptr);
  start();
  loop.advance(1.4);
  EXPECT_EQ(desktop.follows, 0) << "the page gets time to load first";
  loop.advance(4);
  EXPECT_GE(desktop.follows, 20);
  EXPECT_GE(draggingStates(), 20);
  EXPECT_EQ(desktop.calls, (std::vector<std::string>{"drop"}));
  ASSERT_TRUE(desktop.placed);
  EXPECT_EQ(desktop.placed->first, "B");
  EXPECT_EQ(desktop.placed->second, "right");
  EXPECT_FALSE(desktop.isDragging);
  EXPECT_FALSE(notch.holds().count("drag"));
  EXPECT_FALSE(desktop.artificialPointer()) << "the real pointer is back";
  EXPECT_TRUE(cursors().empty()) << "nothing to draw without TALVANE_FAKE_CURSOR";
}

TEST_F(DemoTest, TourSendsThePanelHomeThenPlacesItAgain) {
  ScopedEnv tour("TALVANE_DEMO_TOUR", "1"), fake("TALVANE_FAKE_CURSOR", "10,900");
  desktop.placed = {{"A", "left"}};
  start();
  loop.advance(2.0);
  EXPECT_EQ(desktop.calls, (std::vector<std::string>{"reset"}));
  EXPECT_FALSE(desktop.placed);
  loop.advance(1.0);
  EXPECT_TRUE(hub.isOpen()) << "the pointer rests on the strip at home";
  loop.advance(5);
  EXPECT_EQ(desktop.calls, (std::vector<std::string>{"reset", "drop"}));
  ASSERT_TRUE(desktop.placed);
  EXPECT_EQ(desktop.placed->first, "B");
  EXPECT_EQ(desktop.placed->second, std::nullopt);
  EXPECT_FALSE(hub.isOpen()) << "the pointer moved off at the end";
  // While dragged, the pointer stays where the drag holds the stage, pressed.
  bool pressed = false;
  for (const auto& c : cursors()) pressed |= c["down"] == true && c["x"] == 360 && c["y"] == 23;
  EXPECT_TRUE(pressed);
}

TEST_F(DemoTest, FakeCursorStandsInForTheRealPointer) {
  struct Row {
    const char* value;
    Point real;
    bool open;
    double x, y;  // where the page draws it, in the stage
  } rows[] = {
      {"900,10", {10, 900}, true, 300, 10},       // on the strip while the real one is far away
      {"10,900", {900, 10}, false, -1, -1},       // the real one on the strip counts for nothing
      {"strip", {900, 10}, false, 360, 240},      // unreadable: rests below the strip
      {" 900 , 10", {10, 900}, false, 360, 240},  // spaces are not numbers
  };
  for (const auto& r : rows) {
    ScopedEnv fake("TALVANE_FAKE_CURSOR", r.value);
    ManualLoop loop;
    MemorySettingsStore store;
    Prefs::Binding binding(store);
    Hub hub(loop, store, {});
    TwoScreenDesktop desktop;
    desktop.at = r.real;
    NotchController notch(hub, desktop.parts(), loop);
    Page page;
    notch.stage().setHost(&page);
    notch.show(false);
    notch.stage().receive({{"type", "ready"}});
    loop.advance(1);
    EXPECT_EQ(hub.isOpen(), r.open) << r.value;
    std::vector<Json> drawn;
    for (const auto& m : page.got)
      if (m["type"] == "cursor") drawn.push_back(m);
    ASSERT_FALSE(drawn.empty()) << r.value;
    EXPECT_EQ(drawn.back()["x"], r.x) << r.value;
    EXPECT_EQ(drawn.back()["y"], r.y) << r.value;
  }
}

}  // namespace
}  // namespace talvane

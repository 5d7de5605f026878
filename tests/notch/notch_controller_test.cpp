#include "notch/notch_controller.h"

#include <gtest/gtest.h>

#include "app/prefs.h"
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
  void toggleTalk() override { talking = hasVoice && !talking; }
  bool listening() const override { return talking; }
  void cancelTalk() override {
    ++cancelled;
    talking = false;
  }
  void beginDrag() override { calls.push_back("drag"); }
  void showMenu() override { calls.push_back("menu"); }
  void quit() override { calls.push_back("quit"); }
};

class NotchControllerTest : public ::testing::Test {
 protected:
  NotchControllerTest()
      : binding(store), hub(loop, store, settings()), notch(hub, desktop, loop, Background::inline_()) {
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
    loop.runPending();
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
    loop.runPending();
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

TEST_F(NotchControllerTest, RectKeepsAMinimumSizeAndNeedsAllFourNumbers) {
  ready();
  send({{"type", "rect"}, {"x", 5}, {"y", 6}, {"w", 10}, {"h", 5}});
  EXPECT_EQ(notch.drawn(), (Rect{5, 6, 40, 20}));
  send({{"type", "rect"}, {"x", 1}, {"y", 2}, {"w", "300"}, {"h", 50}});
  EXPECT_EQ(notch.drawn(), (Rect{5, 6, 40, 20}));
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

TEST_F(NotchControllerTest, ReplyWithoutTextStillReleasesFocus) {
  ready();
  send({{"type", "focus"}, {"on", true}});
  EXPECT_TRUE(notch.holds().count("typing"));
  EXPECT_TRUE(desktop.focused());
  send({{"type", "reply"}, {"id", "claude:none:reply"}});
  EXPECT_FALSE(notch.holds().count("typing"));
  EXPECT_FALSE(desktop.focused());
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
  EXPECT_NE(desktop.clipboard().find("Socket: false"), std::string::npos);
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

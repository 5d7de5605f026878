#include <gtest/gtest.h>

#include "app/prefs.h"
#include "notch/headless_desktop.h"
#include "notch/notch_controller.h"
#include "platform/manual_loop.h"
#include "support/test_home.h"

namespace talvane {
namespace {

struct TalkPage : PageHost {
  std::vector<Json> got;
  void load(const PageSource&) override {}
  void deliver(const std::string& m) override { got.push_back(Json::parse(m)); }
  // The "talk" messages' states, in order.
  std::vector<std::string> talk() const {
    std::vector<std::string> out;
    for (const auto& m : got)
      if (m["type"] == "talk")
        out.push_back(m.contains("payload") ? m["payload"]["state"] : m["state"]);
    return out;
  }
  Json lastTalk() const {
    for (auto it = got.rbegin(); it != got.rend(); ++it)
      if ((*it)["type"] == "talk") return it->contains("payload") ? (*it)["payload"] : *it;
    return nullptr;
  }
};

struct VoiceDesktop : HeadlessDesktop {
  bool talking = false;
  bool available() const override { return true; }
  void toggle() override { talking = !talking; }
  bool listening() const override { return talking; }
  void cancel() override { talking = false; }
};

class NotchTalkTest : public ::testing::Test {
 protected:
  NotchTalkTest()
      : binding(store), hub(loop, store, settings()), notch(hub, desktop.parts(), loop) {
    notch.stage().setHost(&page);
    notch.show(false);
    notch.stage().receive({{"type", "ready"}});
    loop.runPending();
    notch.polish = [](const std::string& text, std::function<void(std::string)> done) {
      done("<" + text + ">");
    };
  }
  static HubSettings settings() {
    HubSettings s;
    s.prefs = [] { return Prefs::json(); };
    return s;
  }
  void waitingRequest() {
    hub.claude({{"hook_event_name", "PermissionRequest"},
                {"session_id", "s1"},
                {"cwd", "/tmp"},
                {"tool_name", "Bash"},
                {"tool_input", {{"command", "ls"}}},
                {"_agent", "claude"}},
               [](const std::string&) {});
    loop.runPending();
  }

  testing::TestHome home;
  MemorySettingsStore store;
  Prefs::Binding binding;
  ManualLoop loop;
  Hub hub;
  VoiceDesktop desktop;
  TalkPage page;
  NotchController notch;
};

TEST_F(NotchTalkTest, WithARequestWaitingTheTextBecomesTheReply) {
  waitingRequest();
  notch.toggleTalk();
  notch.talkUpdate("run it", false, 0.4);
  EXPECT_EQ(page.lastTalk()["level"], 0.4);
  desktop.talking = false;
  notch.talkUpdate("run it", true, 0);
  loop.advance(5);
  EXPECT_EQ(page.talk(), (std::vector<std::string>{"listening", "polishing", "done"}));
  EXPECT_EQ(page.lastTalk()["text"], "<run it>");
  EXPECT_FALSE(notch.holds().count("talking"));
  EXPECT_TRUE(notch.holds().count("keys"));
  EXPECT_EQ(desktop.clipboard(), "");
}

TEST_F(NotchTalkTest, WithNothingWaitingTheTextIsPastedOrCopied) {
  for (bool pasted : {true, false}) {
    page.got.clear();
    std::vector<std::string> typed;
    notch.pasteText = [&](const std::string& t, std::function<void(bool)> done) {
      typed.push_back(t);
      done(pasted);
    };
    notch.toggleTalk();
    desktop.talking = false;
    notch.talkUpdate("hello there", true, 0);
    EXPECT_EQ(page.talk(), (std::vector<std::string>{"polishing", "off"}));
    EXPECT_TRUE(notch.holds().empty());
    EXPECT_TRUE(typed.empty());  // the panel closes first
    loop.advance(0.15);
    EXPECT_EQ(typed, std::vector<std::string>{"<hello there>"});
    if (pasted) {
      EXPECT_EQ(page.talk().size(), 2u);
      continue;
    }
    EXPECT_EQ(desktop.clipboard(), "<hello there>");
    EXPECT_EQ(page.talk().back(), "copied");
    EXPECT_TRUE(notch.holds().count("copied"));
    loop.advance(3.4);
    EXPECT_TRUE(notch.holds().count("copied"));
    loop.advance(0.1);
    EXPECT_FALSE(notch.holds().count("copied"));
    EXPECT_EQ(page.talk().back(), "off");
  }
}

TEST_F(NotchTalkTest, TypingThatFailsLaterStillEndsOnTheClipboard) {
  std::function<void(bool)> typed;
  notch.pasteText = [&](const std::string&, std::function<void(bool)> done) {
    typed = std::move(done);
  };
  notch.toggleTalk();
  desktop.talking = false;
  notch.talkUpdate("hello there", true, 0);
  loop.advance(0.15);
  ASSERT_TRUE(typed);
  loop.advance(1);
  EXPECT_EQ(desktop.clipboard(), "");
  EXPECT_EQ(page.talk().back(), "off");
  typed(false);
  EXPECT_EQ(desktop.clipboard(), "<hello there>");
  EXPECT_EQ(page.talk().back(), "copied");
}

TEST_F(NotchTalkTest, AnEmptyResultIsNotDelivered) {
  notch.polish = [](const std::string&, std::function<void(std::string)> done) { done(""); };
  bool asked = false;
  notch.pasteText = [&](const std::string&, std::function<void(bool)>) { asked = true; };
  notch.toggleTalk();
  desktop.talking = false;
  notch.talkUpdate("", true, 0);
  loop.advance(5);
  EXPECT_FALSE(asked);
  EXPECT_EQ(page.talk().back(), "off");
}

TEST_F(NotchTalkTest, ReleasingTheHeldKeyStopsOnlyAHeldTalk) {
  notch.talkKeyHeld(true);
  EXPECT_TRUE(desktop.talking);
  notch.talkUpdate("x", false, 0);
  EXPECT_EQ(page.lastTalk()["hold"], true);
  notch.talkKeyHeld(false);
  EXPECT_FALSE(desktop.talking);

  notch.toggleTalk();  // started by a tap or hot key
  EXPECT_TRUE(desktop.talking);
  notch.talkKeyHeld(false);
  EXPECT_TRUE(desktop.talking);
}

TEST_F(NotchTalkTest, ErrorsReachThePageAndEndTheTalk) {
  notch.toggleTalk();
  EXPECT_TRUE(notch.holds().count("talking"));
  notch.talkError("The microphone wouldn't start.");
  EXPECT_FALSE(notch.holds().count("talking"));
  EXPECT_EQ(page.lastTalk()["state"], "error");
  EXPECT_EQ(page.lastTalk()["text"], "The microphone wouldn't start.");
}

TEST_F(NotchTalkTest, AFailedDictationGivesTheKeyboardBackUnlessTheUserHadSummonedIt) {
  // Started from another application: the panel shows the message without keeping the focus.
  notch.toggleTalk();
  ASSERT_TRUE(desktop.focused());
  notch.talkError("Talvane can't find a microphone.");
  EXPECT_FALSE(desktop.focused());
  EXPECT_FALSE(notch.holds().count("keys"));
  EXPECT_TRUE(hub.isOpen());
  loop.advance(3.5);
  EXPECT_FALSE(hub.isOpen());
  EXPECT_TRUE(notch.holds().empty());

  // Started inside keyboard mode: the user stays where they were, in the panel.
  notch.summon();
  desktop.talking = false;
  notch.toggleTalk();
  notch.talkError("Talvane can't find a microphone.");
  EXPECT_TRUE(desktop.focused());
  EXPECT_TRUE(notch.holds().count("keys"));
}

}  // namespace
}  // namespace talvane

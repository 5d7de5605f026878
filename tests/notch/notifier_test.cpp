#include "notch/notifier.h"

#include <gtest/gtest.h>

#include "hub/hub_test_support.h"

namespace talvane {
namespace {

namespace NP = NotificationPlan;

// Records what the Notifier asks; the test plays the user through the callbacks.
struct FakeServer final : NotificationServer {
  bool up = true;
  NotificationCapabilities caps{.actions = true};
  std::vector<std::string> calls;  // "show <tag>" / "close <tag>"
  std::map<std::string, Notice> open;
  bool available() const override { return up; }
  NotificationCapabilities capabilities() const override { return caps; }
  void show(const std::string& tag, const Notice& notice) override {
    calls.push_back("show " + tag);
    open[tag] = notice;
  }
  void close(const std::string& tag) override {
    calls.push_back("close " + tag);
    open.erase(tag);
  }
  int shows() const {
    int n = 0;
    for (const auto& c : calls) n += c.starts_with("show ");
    return n;
  }
};

struct FakeSound final : SoundPlayer {
  std::vector<std::string> played;
  void play(const std::string& name) override { played.push_back(name); }
};

// A Hub on a manual loop (the hub tests' fixture) with the Notifier wired as the app wires it.
class NotifierTest : public testing::HubTest {
 protected:
  NotifierTest() {
    hub().onChange = [this] { notifier->changed(); };
    NotifierSettings s;
    s.level = [this] { return level; };
    s.sound = [this] { return soundOn; };
    s.openPanel = [this](const std::string& id) { opened.push_back(id); };
    notifier = std::make_unique<Notifier>(hub(), loop, &server, &sound, std::move(s));
    notifier->onAttention = [this](bool on) { attention.push_back(on); };
  }
  ~NotifierTest() override { hub().onChange = nullptr; }

  // A permission request of session "claude:<conversation>", kept as relays[request id].
  std::string request(const std::string& conversation, const std::string& call,
                      const std::string& command = "make test") {
    testing::Relay relay = permission(conversation, call, command);
    EXPECT_TRUE(relay.pendingId);
    relays[relay.pendingId.value_or("")] = relay;
    return relay.pendingId.value_or("");
  }
  void pass() { loop.runPending(); }
  // The answer the request's relay got: "allow", "deny", "" for a release, "-" for none yet.
  std::string behaviorOf(const std::string& requestId) {
    const testing::Relay& relay = relays.at(requestId);
    if (relay.calls() == 0) return "-";
    if (relay.last().empty()) return "";
    return relay.lastJson()["hookSpecificOutput"]["decision"]["behavior"];
  }

  FakeServer server;
  FakeSound sound;
  NotifyLevel level = NotifyLevel::requests;
  bool soundOn = true;
  std::vector<std::string> opened;
  std::vector<bool> attention;
  std::map<std::string, testing::Relay> relays;
  std::unique_ptr<Notifier> notifier;
};

TEST_F(NotifierTest, AllowAndDenyAnswerTheirOwnRequestAndAStaleActionNothing) {
  const std::string a = request("a", "t1");
  const std::string b = request("b", "t2");
  pass();
  ASSERT_EQ(server.open.size(), 2u);
  EXPECT_EQ(server.open["claude:a"].title, "~ · Claude Code");
  EXPECT_EQ(server.open["claude:a"].body, "Wants to run: make test");

  server.onAction("claude:a", "deny:" + a);
  pass();
  EXPECT_EQ(behaviorOf(a), "deny");
  EXPECT_EQ(behaviorOf(b), "-") << "the other session's request still waits";
  EXPECT_FALSE(server.open.count("claude:a")) << "answered: its notification closes";

  // A click on a notification whose request was replaced meanwhile answers nothing.
  const std::string b2 = request("b", "t3", "rm -rf build");
  pass();
  server.onAction("claude:b", "allow:" + b);
  pass();
  EXPECT_EQ(behaviorOf(b2), "-");
  EXPECT_EQ(behaviorOf(b), "") << "the replaced request was released without a decision";
  loop.advance(Notifier::kReplaceGap);
  EXPECT_EQ(server.open["claude:b"].body, "Wants to run: rm -rf build");
  server.onAction("claude:b", "allow:" + b2);
  pass();
  EXPECT_EQ(behaviorOf(b2), "allow");
  EXPECT_TRUE(server.open.empty());
}

TEST_F(NotifierTest, AnsweredElsewhereOrGoneClosesAndTheStateReplacesInPlace) {
  const std::string a = request("a", "t1");
  pass();
  EXPECT_EQ(server.calls, (std::vector<std::string>{"show claude:a"}));
  hub().decide("claude:a", "allow");  // the panel's button
  pass();
  EXPECT_EQ(server.calls.back(), "close claude:a");

  request("a", "t2");
  pass();
  loop.advance(Notifier::kReplaceGap);
  // The next request of the same session replaces the shown one under the same tag.
  request("a", "t3", "ls");
  pass();
  loop.advance(Notifier::kReplaceGap);
  EXPECT_EQ(server.calls, (std::vector<std::string>{"show claude:a", "close claude:a",
                                                    "show claude:a", "show claude:a"}));
  EXPECT_EQ(server.open["claude:a"].body, "Wants to run: ls");

  send(event("SessionEnd", "a"));
  pass();
  EXPECT_EQ(server.calls.back(), "close claude:a");
  EXPECT_EQ(attention, (std::vector<bool>{true, false, true, false}));
}

TEST_F(NotifierTest, APanelOpenOnTheSessionShowsNothingAndWhatWasSeenStaysQuiet) {
  request("a", "t1");
  hub().setOpen(true);  // the panel shows the only waiting request
  pass();
  EXPECT_TRUE(server.calls.empty());
  EXPECT_TRUE(sound.played.empty()) << "the user is looking";
  hub().setOpen(false);
  pass();
  EXPECT_TRUE(server.calls.empty()) << "already seen";

  request("b", "t2");
  pass();
  ASSERT_EQ(server.calls, (std::vector<std::string>{"show claude:b"}));
  server.onClosed("claude:b");  // dismissed by the user
  hub().changed();
  pass();
  EXPECT_EQ(server.calls.size(), 1u) << "a dismissed request does not come back";
}

TEST_F(NotifierTest, ReplyOffersTakeInlineRepliesAndTheOpenActionOpensThePanel) {
  server.caps.inlineReply = true;
  testing::Relay offer = stop("r");
  ASSERT_TRUE(offer.pendingId);
  pass();
  ASSERT_TRUE(server.open.count("claude:r"));
  EXPECT_EQ(server.open["claude:r"].actions.back().first, NP::kInlineReply);
  EXPECT_EQ(sound.played, (std::vector<std::string>{NP::kDoneSound}));

  server.onAction("claude:r", NP::kOpen);
  EXPECT_EQ(opened, (std::vector<std::string>{"claude:r"}));
  server.onReply("claude:r", "Now add tests");
  pass();
  ASSERT_EQ(offer.calls(), 1u);
  EXPECT_EQ(offer.lastJson()["systemMessage"], "Replied from the notch: Now add tests");
  EXPECT_FALSE(server.open.count("claude:r"));
  // A reply for an offer that has gone answers nothing.
  server.onReply("claude:r", "again");
  EXPECT_EQ(offer.calls(), 1u);
}

TEST_F(NotifierTest, AnExpiredReplyOfferBecomesItsTurnsNewsWithoutASecondSound) {
  level = NotifyLevel::everything;
  stop("r");
  pass();
  EXPECT_EQ(server.open["claude:r"].body, "All done.");
  loop.advance(replyWindow + 1.5);  // the Hub's tick releases the offer
  EXPECT_EQ(server.calls, (std::vector<std::string>{"show claude:r", "show claude:r"}));
  EXPECT_EQ(server.open["claude:r"].body, "Finished");
  EXPECT_EQ(sound.played, (std::vector<std::string>{NP::kDoneSound}));
}

TEST_F(NotifierTest, AFloodIsOneNotificationPerSessionAndOneSound) {
  std::vector<std::string> ids;
  for (int i = 0; i < 200; ++i)
    ids.push_back(request("s" + std::to_string(i % 4), std::to_string(i)));
  pass();
  EXPECT_EQ(server.shows(), 4);
  EXPECT_EQ(sound.played.size(), 1u);
  // Requests that keep replacing each other on one session: one replacement per gap.
  for (int i = 0; i < 200; ++i) {
    request("s0", "again" + std::to_string(i));
    loop.advance(0.005);
  }
  loop.advance(2 * Notifier::kReplaceGap);
  EXPECT_LE(server.shows(), 4 + 2);
  EXPECT_EQ(server.open["claude:s0"].actions[1].first, "allow:claude:s0:again199");
}

TEST_F(NotifierTest, NoServerOrNotificationsOffStillPlaysTheSoundAndFlagsTheTray) {
  server.up = false;
  request("a", "t1");
  pass();
  EXPECT_TRUE(server.calls.empty());
  EXPECT_EQ(sound.played, (std::vector<std::string>{NP::kRequestSound}));
  EXPECT_EQ(attention, (std::vector<bool>{true}));
  EXPECT_TRUE(notifier->attention());

  server.up = true;
  level = NotifyLevel::off;
  soundOn = false;
  request("b", "t2");
  pass();
  EXPECT_TRUE(server.calls.empty());
  EXPECT_EQ(sound.played.size(), 1u) << "the sound setting is off";
}

}  // namespace
}  // namespace talvane

#include "notch/notification_plan.h"

#include <gtest/gtest.h>

namespace talvane {
namespace {

namespace NP = NotificationPlan;

constexpr Date kNow = 1'800'000'000.0;

Session withPending(std::string id, Pending::Kind kind, Agent agent = Agent::claude) {
  Session s = Session::create(std::move(id), agent, kNow - 100);
  s.root = "/home/u/projects/talvane";
  Pending p;
  p.id = s.id + ":req";
  p.kind = std::move(kind);
  p.since = kNow - 1;
  s.pending = std::move(p);
  return s;
}

Session permission(std::string id, std::string title = "Wants to run",
                   std::string detail = "make test") {
  return withPending(std::move(id),
                     Pending::Permission{std::move(title), std::move(detail), "Bash"});
}

Session finished(std::string id, Date at) {
  Session s = Session::create(std::move(id), Agent::codex, kNow - 100);
  s.root = "/srv/api";
  s.mood = Mood::done;
  s.finishedAt = at;
  return s;
}

NP::Input input(const std::vector<Session>& sessions) {
  NP::Input in;
  in.sessions = &sessions;
  in.now = kNow;
  in.since = kNow - 50;
  in.caps.actions = true;
  return in;
}

std::vector<std::string> keys(const Notice& n) {
  std::vector<std::string> out;
  for (const auto& [key, label] : n.actions) out.push_back(key + "=" + label);
  return out;
}

TEST(NotificationPlan, EachKindOfRequestGetsItsTextAndActions) {
  Question q{"Scope", "Which branch should I use?", {{"main", ""}, {"dev", ""}}, false};
  struct Case {
    Session session;
    bool inlineReply;
    std::string body;
    std::vector<std::string> actions;
    std::string sound;
  };
  const std::vector<Case> cases = {
      {permission("claude:a"),
       false,
       "Wants to run: make test",
       {"default=Open", "allow:claude:a:req=Allow", "deny:claude:a:req=Deny"},
       NP::kRequestSound},
      {permission("claude:a", "Edit main.cpp?", "/x/main.cpp"),
       false,
       "Edit main.cpp? /x/main.cpp",
       {"default=Open", "allow:claude:a:req=Allow", "deny:claude:a:req=Deny"},
       NP::kRequestSound},
      {withPending("claude:q", Pending::Questions{{q}}),
       false,
       "Which branch should I use?",
       {"default=Open", "answer:claude:q:req=Answer"},
       NP::kRequestSound},
      {withPending("claude:r", Pending::Reply{"All tests pass.\nDetails follow", kNow + 15}),
       true,
       "All tests pass.",
       {"default=Open", "inline-reply=Reply"},
       NP::kDoneSound},
      {withPending("claude:r", Pending::Reply{"Done", kNow + 15}),
       false,
       "Done",
       {"default=Open", "reply:claude:r:req=Reply"},
       NP::kDoneSound},
      {withPending("cursor:e", Pending::Elsewhere{"Approve in Cursor"}, Agent::cursor),
       false,
       "Approve in Cursor",
       {"default=Open"},
       NP::kRequestSound},
  };
  for (const Case& c : cases) {
    const std::vector<Session> sessions{c.session};
    NP::Input in = input(sessions);
    in.caps.inlineReply = c.inlineReply;
    auto plan = NP::plan(in);
    ASSERT_EQ(plan.size(), 1u) << c.body;
    const NP::Entry& e = plan[0];
    EXPECT_EQ(e.session, c.session.id);
    EXPECT_EQ(e.subject, c.session.pending->id);
    EXPECT_TRUE(e.show);
    EXPECT_EQ(e.notice.body, c.body);
    EXPECT_EQ(keys(e.notice), c.actions) << c.body;
    EXPECT_EQ(e.sound, c.sound) << c.body;
    EXPECT_EQ(e.notice.urgency, 1);
    EXPECT_EQ(e.notice.category, "im.received");
    EXPECT_EQ(e.notice.expireSeconds, 0) << "a request stays until it is answered";
    EXPECT_TRUE(e.notice.suppressSound) << "the app plays it: this server has no sounds";
  }
  EXPECT_EQ(NP::plan(input({withPending("cursor:e", Pending::Elsewhere{""}, Agent::cursor)}))[0]
                .notice.title,
            "talvane · Cursor");
}

TEST(NotificationPlan, BodiesAreOneShortLineEscapedOnlyForMarkupServers) {
  const std::string longCommand = "echo <b>&" + std::string(200, 'x') + "\nsecond line";
  const std::vector<Session> sessions{permission("claude:a", "Wants to run", longCommand)};
  NP::Input in = input(sessions);
  const std::string plain = NP::plan(in)[0].notice.body;
  EXPECT_EQ(plain.find('\n'), std::string::npos);
  EXPECT_TRUE(plain.starts_with("Wants to run: echo <b>&xxx"));
  EXPECT_TRUE(plain.ends_with("…"));
  in.caps.bodyMarkup = true;
  const std::string marked = NP::plan(in)[0].notice.body;
  EXPECT_TRUE(marked.starts_with("Wants to run: echo &lt;b&gt;&amp;xxx")) << marked;
  EXPECT_EQ(NP::escapeMarkup("a<b>&c"), "a&lt;b&gt;&amp;c");
}

TEST(NotificationPlan, LevelsAndTheUsersEyesDecideWhatShows) {
  const std::vector<Session> sessions{
      permission("claude:a"),
      finished("codex:done", kNow - 10),
      finished("codex:old", kNow - 80),  // finished before the app started
      Session::create("claude:quiet", Agent::claude, kNow),
  };
  struct Case {
    NotifyLevel level;
    std::optional<std::string> panelOn;
    std::vector<std::pair<std::string, bool>> shown;  // session, show
  };
  const Case cases[] = {
      {NotifyLevel::requests, {}, {{"claude:a", true}, {"codex:done", false}}},
      {NotifyLevel::everything, {}, {{"claude:a", true}, {"codex:done", true}}},
      {NotifyLevel::off, {}, {{"claude:a", false}, {"codex:done", false}}},
      {NotifyLevel::everything, "claude:a", {{"claude:a", false}, {"codex:done", true}}},
  };
  for (const Case& c : cases) {
    NP::Input in = input(sessions);
    in.level = c.level;
    in.panelOn = c.panelOn;
    std::vector<std::pair<std::string, bool>> got;
    for (const auto& e : NP::plan(in)) got.emplace_back(e.session, e.show);
    EXPECT_EQ(got, c.shown) << notifyLevelName(c.level);
  }
  NP::Input in = input(sessions);
  in.hostFocused = [](const Session& s) { return s.id == "claude:a"; };
  auto plan = NP::plan(in);
  EXPECT_TRUE(plan[0].looking);
  EXPECT_FALSE(plan[0].show);
  // News is low urgency and goes by itself.
  in.level = NotifyLevel::everything;
  const NP::Entry done = NP::plan(in)[1];
  EXPECT_EQ(done.notice.urgency, 0);
  EXPECT_EQ(done.notice.expireSeconds, -1);
  EXPECT_EQ(done.sound, NP::kDoneSound);
  EXPECT_EQ(done.notice.body, "Finished: api");
}

TEST(NotificationPlan, PullRequestNewsNeedsEverythingAndYieldsToARequest) {
  const std::vector<Session> sessions{finished("codex:x", kNow - 200), permission("claude:a")};
  NP::Input in = input(sessions);
  in.level = NotifyLevel::everything;
  in.since = kNow;  // the turn itself is old news
  in.prNews = NP::Input::News{"codex:x", "failing"};
  auto plan = NP::plan(in);
  ASSERT_EQ(plan.size(), 2u);
  EXPECT_EQ(plan[0].subject, "pr:failing");
  EXPECT_EQ(plan[0].notice.body, "Pull request checks failing");
  in.prNews = NP::Input::News{"claude:a", "merged"};
  plan = NP::plan(in);
  ASSERT_EQ(plan.size(), 1u);
  EXPECT_EQ(plan[0].subject, "claude:a:req");
  in.level = NotifyLevel::requests;
  in.prNews = NP::Input::News{"codex:x", "merged"};
  EXPECT_FALSE(NP::plan(in)[0].show);
}

TEST(NotificationPlan, SoundGoesThroughTheServerOnlyWhenItPlaysSoundsAndShows) {
  const std::vector<Session> sessions{permission("claude:a")};
  struct Case {
    bool soundSetting, serverSound;
    NotifyLevel level;
    std::string appSound, hint;
    bool suppress;
  };
  const Case cases[] = {
      {true, false, NotifyLevel::requests, NP::kRequestSound, "", true},
      {true, true, NotifyLevel::requests, "", NP::kRequestSound, false},
      {true, true, NotifyLevel::off, NP::kRequestSound, "", true},
      {false, true, NotifyLevel::requests, "", "", true},
  };
  for (const Case& c : cases) {
    NP::Input in = input(sessions);
    in.sound = c.soundSetting;
    in.caps.sound = c.serverSound;
    in.level = c.level;
    const NP::Entry e = NP::plan(in)[0];
    EXPECT_EQ(e.sound, c.appSound);
    EXPECT_EQ(e.notice.soundName, c.hint);
    EXPECT_EQ(e.notice.suppressSound, c.suppress);
  }
}

TEST(NotificationPlan, AReplyOfferAndTheTurnItEndsAreOneSubject) {
  std::vector<Session> sessions{finished("claude:r", kNow - 5)};
  NP::Input in = input(sessions);
  in.level = NotifyLevel::everything;
  const NP::Entry done = NP::plan(in)[0];
  sessions[0].pending = Pending{"claude:r:stop", Pending::Reply{"ok", kNow + 10}, {}, kNow - 5};
  const NP::Entry offer = NP::plan(in)[0];
  EXPECT_EQ(offer.subject, done.subject);
  EXPECT_EQ(offer.pendingId, "claude:r:stop");
  EXPECT_NE(offer.notice, done.notice);
}

TEST(NotificationPlan, AttentionMeansARequestWaitsNotAReplyOffer) {
  EXPECT_FALSE(NP::attention({}));
  EXPECT_FALSE(NP::attention({withPending("claude:r", Pending::Reply{"", kNow})}));
  EXPECT_TRUE(NP::attention({finished("codex:x", kNow), permission("claude:a")}));
  EXPECT_EQ(notifyLevelFrom("all"), NotifyLevel::everything);
  EXPECT_EQ(notifyLevelFrom("All"), std::nullopt);
}

}  // namespace
}  // namespace talvane

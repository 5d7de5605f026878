#include <gtest/gtest.h>

#include <set>

#include "hub_test_support.h"

namespace talvane::testing {
namespace {

class HubDemoTest : public HubTest {};

std::string kindOf(const Pending& p) {
  if (p.permission()) return "permission";
  if (p.questions()) return "questions";
  if (p.reply()) return "reply";
  return "elsewhere";
}

TEST_F(HubDemoTest, TheScenesShowEveryRequestAndEveryMood) {
  for (const std::string& scene : Hub::demoScenes()) {
    SCOPED_TRACE(scene);
    hub().loadDemo(scene);
    EXPECT_GE(hub().visible().size(), 4u);
    EXPECT_EQ(hub().responderCount(), 0u);
    std::set<std::string> kinds;
    std::set<Mood> moods;
    for (const Session* s : hub().visible()) {
      moods.insert(s->shownMood(loop.now()));
      if (s->pending) kinds.insert(kindOf(*s->pending));
    }
    if (scene == "busy") {
      EXPECT_EQ(moods, (std::set<Mood>{Mood::done, Mood::working}));
      EXPECT_TRUE(kinds.empty());
    } else {
      EXPECT_EQ(kinds, (std::set<std::string>{"permission", "questions", "reply", "elsewhere"}));
    }
    if (scene == "mixed") {
      EXPECT_EQ(moods, (std::set<Mood>{Mood::idle, Mood::done, Mood::working, Mood::waiting}));
    }
    // Snapshots of demo data are well formed.
    EXPECT_EQ(hub().snapshot()["sessions"].size(), hub().visible().size());
  }
}

TEST_F(HubDemoTest, AnsweredDemoRequestsComeBackOnRequest) {
  hub().loadDemo("waiting");
  const std::size_t waiting = hub().queue().size();
  ASSERT_EQ(waiting, 4u);
  for (const Session* s : hub().queue()) {
    if (s->pending->permission()) {
      hub().decide(s->id, "allow");
      break;
    }
  }
  EXPECT_EQ(hub().queue().size(), 3u);
  hub().demoPending("waiting");
  EXPECT_EQ(hub().queue().size(), 4u);

  // An unknown scene name shows the mixed scene; loading replaces the earlier one.
  hub().loadDemo("anything");
  for (const Session& s : hub().sessions()) EXPECT_EQ(s.id.find("demo-mix"), s.id.find(':') + 1);
}

}  // namespace
}  // namespace talvane::testing

#include "platform/event_loop.h"

#include <gtest/gtest.h>

#include "platform/manual_loop.h"
#include "support/test_home.h"

namespace talvane {
namespace {

TEST(ManualLoop, TimersFireInTimeOrderAndOnlyWhenDue) {
  ManualLoop loop;
  std::vector<std::string> fired;
  auto late = loop.after(0.5, [&] { fired.push_back("late"); });
  auto early = loop.after(0.35, [&] { fired.push_back("early"); });
  loop.advance(0.34);
  EXPECT_TRUE(fired.empty());
  loop.advance(0.01);
  EXPECT_EQ(fired, std::vector<std::string>{"early"});
  loop.advance(1);
  EXPECT_EQ(fired, (std::vector<std::string>{"early", "late"}));
}

TEST(ManualLoop, CancelledAndDestroyedHandlesNeverFire) {
  ManualLoop loop;
  int count = 0;
  auto kept = loop.after(1, [&] { ++count; });
  kept.cancel();
  {
    auto dropped = loop.after(1, [&] { ++count; });
  }
  loop.advance(2);
  EXPECT_EQ(count, 0);
  kept.cancel();  // twice is harmless
}

TEST(ManualLoop, RepeatingTimerAndPostedWorkInsideTimers) {
  ManualLoop loop;
  int ticks = 0, posted = 0;
  auto tick = loop.every(1, 0.1, [&] {
    ++ticks;
    loop.post([&] { ++posted; });
  });
  loop.advance(3.5);
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(posted, 3);
  EXPECT_DOUBLE_EQ(loop.now(), 1'800'000'003.5);
}

TEST(GLibLoop, PostAfterAndCancelOnTheRealLoop) {
  GLibLoop loop;
  bool posted = false, timed = false, cancelled = false;
  loop.post([&] { posted = true; });
  auto t = loop.after(0.01, [&] { timed = true; });
  auto c = loop.after(0.01, [&] { cancelled = true; });
  c.cancel();
  ASSERT_TRUE(testing::runUntil([&] { return posted && timed; }, 5));
  testing::spin(0.03);
  EXPECT_FALSE(cancelled);
  t.cancel();  // after firing: harmless
}

TEST(GLibLoop, AnExceptionInACallbackIsContained) {
  GLibLoop loop;
  bool after = false;
  loop.post([] { throw std::runtime_error("boom"); });
  loop.post([&] { after = true; });
  EXPECT_TRUE(testing::runUntil([&] { return after; }, 5));
}

}  // namespace
}  // namespace talvane

#include "context/background.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/manual_loop.h"
#include "support/test_home.h"

namespace talvane {
namespace {

TEST(ParallelFor, RunsEveryJobOnceForAnyNumberOfWorkers) {
  for (unsigned workers : {0u, 1u, 2u, 5u}) {
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{200}}) {
      std::vector<std::atomic<int>> runs(count);
      parallelFor(
          count, [&](std::size_t i) { runs[i].fetch_add(1); }, workers);
      for (std::size_t i = 0; i < count; ++i)
        ASSERT_EQ(runs[i].load(), 1) << workers << " workers, job " << i << " of " << count;
    }
  }
}

TEST(ParallelFor, AFailingJobDoesNotStopTheOthers) {
  std::vector<std::atomic<int>> runs(10);
  parallelFor(
      10,
      [&](std::size_t i) {
        runs[i] = 1;
        if (i == 3) throw std::runtime_error("unreadable");
      },
      2);
  for (auto& run : runs) EXPECT_EQ(run.load(), 1);
}

TEST(Background, ResultsAreAppliedOnTheLoopInOrder) {
  ManualLoop loop;
  Background background(loop, Background::inline_());
  std::vector<int> applied;
  for (int i = 0; i < 3; ++i)
    background.run([i] { return i * 10; }, [&](int v) { applied.push_back(v); });
  EXPECT_TRUE(applied.empty());
  EXPECT_EQ(background.outstanding(), 3u);
  loop.runPending();
  EXPECT_EQ(applied, (std::vector<int>{0, 10, 20}));
  EXPECT_EQ(background.outstanding(), 0u);
}

TEST(Background, ResultsArrivingAfterTheOwnerIsGoneAreDropped) {
  ManualLoop loop;
  int applied = 0;
  {
    Background background(loop, Background::inline_());
    background.run([] { return 1; }, [&](int) { ++applied; });
  }
  loop.runPending();
  EXPECT_EQ(applied, 0);
}

TEST(Background, AFailedJobAppliesNothingAndLeavesTheQueueMoving) {
  ManualLoop loop;
  Background background(loop, Background::inline_());
  std::vector<int> applied;
  background.run([]() -> int { throw std::runtime_error("gone"); },
                 [&](int v) { applied.push_back(v); });
  background.run([] { return 2; }, [&](int v) { applied.push_back(v); });
  loop.runPending();
  EXPECT_EQ(applied, (std::vector<int>{2}));
  EXPECT_EQ(background.outstanding(), 0u);
}

// The default executor: the work runs on another thread, the result on the loop's.
TEST(Background, WorksOffTheLoopThreadAndAppliesOnIt) {
  GLibLoop loop;
  Background background(loop);
  const auto main = std::this_thread::get_id();
  std::vector<std::thread::id> workers, appliers;
  for (int i = 0; i < 2; ++i)
    background.run([] { return std::this_thread::get_id(); },
                   [&](std::thread::id worker) {
                     workers.push_back(worker);
                     appliers.push_back(std::this_thread::get_id());
                   });
  ASSERT_TRUE(testing::runUntil([&] { return appliers.size() == 2; }));
  for (int i = 0; i < 2; ++i) {
    EXPECT_NE(workers[i], main);
    EXPECT_EQ(appliers[i], main);
  }
}

}  // namespace
}  // namespace talvane

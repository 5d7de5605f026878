// Handing over from an older copy, on a clock of its own: the new copy goes on only once the
// older one is gone, and never gives up on one that is slow to end.
#include <gtest/gtest.h>
#include <signal.h>

#include <optional>
#include <vector>

#include "app/app_services.h"

namespace talvane {
namespace {

// An older copy that ends `afterTerm` seconds after SIGTERM (never when absent), or `afterKill`
// seconds after SIGKILL.
struct OlderCopy {
  std::optional<double> afterTerm;
  double afterKill = 0;

  double now = 0;
  std::optional<double> endsAt;
  std::vector<std::pair<double, int>> signals;

  bool gone() const { return endsAt && now >= *endsAt; }

  Handover handover() {
    Handover h;
    h.holder = [this] { return gone() ? 0 : 4242; };
    h.gone = [this] { return gone(); };
    h.signal = [this](pid_t pid, int number) {
      EXPECT_EQ(pid, 4242);
      signals.emplace_back(now, number);
      const std::optional<double> delay = number == SIGKILL ? std::optional(afterKill) : afterTerm;
      if (delay && (!endsAt || now + *delay < *endsAt)) endsAt = now + *delay;
    };
    h.pause = [this] { now += 0.02; };
    h.clock = [this] { return now; };
    return h;
  }
};

OlderCopy older(std::optional<double> afterTerm, double afterKill) {
  OlderCopy o;
  o.afterTerm = afterTerm;
  o.afterKill = afterKill;
  return o;
}

TEST(Takeover, TheNewCopyGoesOnOnlyOnceTheOlderOneIsGone) {
  struct Case {
    const char* name;
    OlderCopy older;
    std::vector<int> signals;
  };
  const Case cases[] = {
      {"quits when asked", older(0.3, 0), {SIGTERM}},
      {"ignores the request", older(std::nullopt, 0.1), {SIGTERM, SIGKILL}},
      {"quits just too late", older(1.5, 0.0), {SIGTERM, SIGKILL}},
      // Forced, but stuck for a while flushing to a busy disk: reminded, waited for.
      {"slow to end once forced",
       older(std::nullopt, 10.0),
       {SIGTERM, SIGKILL, SIGKILL, SIGKILL, SIGKILL}},
  };
  for (Case c : cases) {
    SCOPED_TRACE(c.name);
    handOver(c.older.handover());
    EXPECT_TRUE(c.older.gone()) << "went on beside the older copy";
    std::vector<int> sent;
    for (auto [when, number] : c.older.signals) sent.push_back(number);
    EXPECT_EQ(sent, c.signals);
    if (c.signals.size() > 1) {
      EXPECT_NEAR(c.older.signals[1].first, Handover::kPoliteWait, 0.05);
    }
    EXPECT_LT(c.older.now - *c.older.endsAt, 0.05) << "went on as soon as it could";
  }
}

}  // namespace
}  // namespace talvane

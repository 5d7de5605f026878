#pragma once
// A loop whose time moves only when told: for tests and benchmarks of time-driven logic.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>

#include "platform/event_loop.h"

namespace talvane {

class ManualLoop final : public EventLoop {
 public:
  explicit ManualLoop(Date start = 1'800'000'000.0) : now_(start) {}

  Date now() const override { return now_; }
  void post(std::function<void()> fn) override;
  TimerHandle after(double seconds, std::function<void()> fn) override;
  TimerHandle every(double seconds, double tolerance, std::function<void()> fn) override;

  // Runs every posted task, including those posted while running; returns how many ran.
  int runPending();
  // Moves time forward, firing due timers in time order; posted tasks run after each timer.
  void advance(double seconds);
  void setNow(Date now) { now_ = now; }
  std::size_t timerCount() const;

 private:
  struct Timer {
    std::function<void()> fn;
    double interval;  // 0 for one-shot
    bool cancelled = false;
  };
  Date now_;
  std::deque<std::function<void()>> posted_;
  std::multimap<std::pair<Date, std::uint64_t>, std::shared_ptr<Timer>> timers_;
  std::uint64_t seq_ = 0;
};

}  // namespace talvane

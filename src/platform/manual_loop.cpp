#include "platform/manual_loop.h"

namespace talvane {

void ManualLoop::post(std::function<void()> fn) { posted_.push_back(std::move(fn)); }

TimerHandle ManualLoop::after(double seconds, std::function<void()> fn) {
  auto timer = std::make_shared<Timer>(Timer{std::move(fn), 0});
  timers_.emplace(std::make_pair(now_ + seconds, seq_++), timer);
  return TimerHandle([weak = std::weak_ptr<Timer>(timer)] {
    if (auto t = weak.lock()) t->cancelled = true;
  });
}

TimerHandle ManualLoop::every(double seconds, double, std::function<void()> fn) {
  auto timer = std::make_shared<Timer>(Timer{std::move(fn), seconds > 0 ? seconds : 0.001});
  timers_.emplace(std::make_pair(now_ + timer->interval, seq_++), timer);
  return TimerHandle([weak = std::weak_ptr<Timer>(timer)] {
    if (auto t = weak.lock()) t->cancelled = true;
  });
}

int ManualLoop::runPending() {
  int count = 0;
  while (!posted_.empty()) {
    auto fn = std::move(posted_.front());
    posted_.pop_front();
    fn();
    ++count;
  }
  return count;
}

void ManualLoop::advance(double seconds) {
  const Date end = now_ + seconds;
  runPending();
  while (!timers_.empty() && timers_.begin()->first.first <= end) {
    auto node = timers_.extract(timers_.begin());
    auto timer = node.mapped();
    if (timer->cancelled) continue;
    now_ = std::max(now_, node.key().first);
    if (timer->interval > 0)
      timers_.emplace(std::make_pair(now_ + timer->interval, seq_++), timer);
    else
      timer->cancelled = true;
    timer->fn();
    runPending();
  }
  now_ = end;
}

std::size_t ManualLoop::timerCount() const {
  std::size_t n = 0;
  for (const auto& [key, t] : timers_) n += t->cancelled ? 0 : 1;
  return n;
}

}  // namespace talvane

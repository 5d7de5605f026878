#pragma once
// The one event loop everything runs on, behind an interface so tests drive time by hand.

#include <functional>
#include <memory>
#include <utility>

namespace talvane {

// The platform's date values: seconds since 1970.
using Date = double;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Date now() const = 0;
};

class SystemClock final : public Clock {
 public:
  Date now() const override;
};

// A timer or posted task registration. Destroying or cancelling it stops the callback;
// cancelling after it fired (or twice) is harmless.
class TimerHandle {
 public:
  TimerHandle() = default;
  explicit TimerHandle(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
  TimerHandle(TimerHandle&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
  TimerHandle& operator=(TimerHandle&& other) noexcept {
    if (this != &other) {
      cancel();
      cancel_ = std::exchange(other.cancel_, nullptr);
    }
    return *this;
  }
  TimerHandle(const TimerHandle&) = delete;
  TimerHandle& operator=(const TimerHandle&) = delete;
  ~TimerHandle() { cancel(); }

  void cancel() {
    if (auto c = std::exchange(cancel_, nullptr)) c();
  }
  explicit operator bool() const { return static_cast<bool>(cancel_); }

 private:
  std::function<void()> cancel_;
};

class EventLoop {
 public:
  virtual ~EventLoop() = default;

  virtual Date now() const = 0;
  // Runs `fn` on a later pass of the loop, after the current callback returns.
  virtual void post(std::function<void()> fn) = 0;
  // Runs `fn` once, `seconds` from now.
  [[nodiscard]] virtual TimerHandle after(double seconds, std::function<void()> fn) = 0;
  // Runs `fn` every `seconds`; the loop may fire up to `tolerance` seconds late to save wakeups.
  [[nodiscard]] virtual TimerHandle every(double seconds, double tolerance,
                                          std::function<void()> fn) = 0;
};

// The process-wide loop over GLib's default main context.
class GLibLoop final : public EventLoop {
 public:
  explicit GLibLoop(std::shared_ptr<Clock> clock = std::make_shared<SystemClock>());

  Date now() const override { return clock_->now(); }
  void post(std::function<void()> fn) override;
  TimerHandle after(double seconds, std::function<void()> fn) override;
  TimerHandle every(double seconds, double tolerance, std::function<void()> fn) override;

  // Runs the default main context until quit() is called.
  void run();
  void quit();

 private:
  std::shared_ptr<Clock> clock_;
  bool running_ = false;
};

// The default main context's loop, for code that is given none. Its post() may be called from
// any thread: the task runs on the main context.
EventLoop& defaultLoop();

}  // namespace talvane

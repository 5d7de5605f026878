#include "platform/event_loop.h"

#include <glib.h>

#include <chrono>
#include <cmath>

#include "platform/log.h"

namespace talvane {

Date SystemClock::now() const {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

namespace {

struct Task {
  std::function<void()> fn;
  bool repeat;
};

gboolean fire(gpointer data) {
  auto* task = static_cast<Task*>(data);
  try {
    task->fn();
  } catch (const std::exception& e) {
    log::line(std::string("Talvane: callback failed: ") + e.what());
  } catch (...) {
    log::line("Talvane: callback failed");
  }
  return task->repeat ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void drop(gpointer data) { delete static_cast<Task*>(data); }

TimerHandle attach(GSource* source, std::function<void()> fn, bool repeat) {
  g_source_set_callback(source, fire, new Task{std::move(fn), repeat}, drop);
  g_source_attach(source, nullptr);
  // The handle keeps its own reference so that destroying an already finished source is safe.
  return TimerHandle([source] {
    g_source_destroy(source);
    g_source_unref(source);
  });
}

guint toMillis(double seconds) {
  if (!(seconds > 0)) return 0;
  return static_cast<guint>(std::min(std::ceil(seconds * 1000.0), 4.0e9));
}

}  // namespace

GLibLoop::GLibLoop(std::shared_ptr<Clock> clock) : clock_(std::move(clock)) {}

void GLibLoop::post(std::function<void()> fn) {
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, fire, new Task{std::move(fn), false}, drop);
  g_source_attach(source, nullptr);
  g_source_unref(source);
}

TimerHandle GLibLoop::after(double seconds, std::function<void()> fn) {
  return attach(g_timeout_source_new(toMillis(seconds)), std::move(fn), false);
}

TimerHandle GLibLoop::every(double seconds, double tolerance, std::function<void()> fn) {
  // Whole-second timers with slack share GLib's once-a-second wakeup.
  const bool coarse = tolerance >= 0.5 && seconds >= 1.0 && std::floor(seconds) == seconds;
  GSource* source = coarse ? g_timeout_source_new_seconds(static_cast<guint>(seconds))
                           : g_timeout_source_new(toMillis(seconds));
  return attach(source, std::move(fn), true);
}

EventLoop& defaultLoop() {
  static GLibLoop loop;
  return loop;
}

void GLibLoop::run() {
  running_ = true;
  while (running_) g_main_context_iteration(nullptr, TRUE);
}

void GLibLoop::quit() {
  running_ = false;
  g_main_context_wakeup(nullptr);
}

}  // namespace talvane

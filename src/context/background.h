#pragma once
// Work that would stall the loop (reading many or large files) runs on a worker thread; its
// result comes back to the loop and is applied there, so all state stays on the main thread.
// Besides speech capture (voice/capture.cpp), this is the one place that owns threads.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "platform/event_loop.h"

namespace talvane {

class Background {
 public:
  // Where work runs. The default is one worker thread that takes jobs in order; tests pass one
  // that runs the job at once, on the caller's thread.
  using Executor = std::function<void(std::function<void()> job)>;
  static Executor inline_() {
    return [](std::function<void()> job) { job(); };
  }

  // `loop.post` must be callable from the worker thread (GLibLoop's is). `loop` must outlive
  // this object.
  explicit Background(EventLoop& loop, Executor executor = {});
  // Drops work not started, waits for the running one, and drops every result not yet applied.
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Runs `work` off the loop, then `done(result)` on the loop, unless this object is gone by
  // then. Jobs run one at a time, in order; their results are applied in the same order.
  template <typename Work, typename Done>
  void run(Work work, Done done) {
    using Result = std::invoke_result_t<Work&>;
    auto result = std::make_shared<std::optional<Result>>();
    submit([result, work = std::move(work)]() mutable { result->emplace(work()); },
           [result, done = std::move(done)]() mutable {
             if (*result) done(std::move(**result));
           });
  }

  // Jobs submitted whose result has not been applied yet.
  std::size_t outstanding() const { return *outstanding_; }

 private:
  struct Worker;
  void submit(std::function<void()> work, std::function<void()> apply);

  EventLoop& loop_;
  Executor executor_;
  std::unique_ptr<Worker> worker_;
  // Results check this on the loop: they are applied only while it lives.
  std::shared_ptr<std::size_t> outstanding_ = std::make_shared<std::size_t>(0);
};

// Calls `job(i)` for every i below `count`, on up to `workers` threads (the caller's among
// them; 0 means one per core), and returns when all are done. The jobs must not touch shared
// state without their own care: each writes only its own slot.
void parallelFor(std::size_t count, const std::function<void(std::size_t)>& job,
                 unsigned workers = 0);

}  // namespace talvane

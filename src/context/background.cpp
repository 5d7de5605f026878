#include "context/background.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/log.h"

namespace talvane {

namespace {

void guarded(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    log::line(std::string("Talvane: background work failed: ") + e.what());
  } catch (...) {
    log::line("Talvane: background work failed");
  }
}

}  // namespace

// One thread taking jobs in order; started with the first job.
struct Background::Worker {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> jobs;
  bool stopping = false;
  std::thread thread;

  void push(std::function<void()> job) {
    {
      std::lock_guard lock(mutex);
      jobs.push_back(std::move(job));
    }
    if (!thread.joinable()) thread = std::thread([this] { loop(); });
    wake.notify_one();
  }

  void loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex);
        wake.wait(lock, [&] { return stopping || !jobs.empty(); });
        if (stopping) return;
        job = std::move(jobs.front());
        jobs.pop_front();
      }
      guarded(job);
    }
  }

  ~Worker() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
      jobs.clear();
    }
    wake.notify_one();
    if (thread.joinable()) thread.join();
  }
};

Background::Background(EventLoop& loop, Executor executor)
    : loop_(loop), executor_(std::move(executor)) {
  if (!executor_) {
    worker_ = std::make_unique<Worker>();
    executor_ = [worker = worker_.get()](std::function<void()> job) {
      worker->push(std::move(job));
    };
  }
}

Background::~Background() {
  // The worker first: once it is joined nothing can post any more.
  worker_.reset();
  outstanding_.reset();
}

void Background::submit(std::function<void()> work, std::function<void()> apply) {
  ++*outstanding_;
  std::weak_ptr<std::size_t> alive = outstanding_;
  executor_([loop = &loop_, alive, work = std::move(work), apply = std::move(apply)]() mutable {
    guarded(work);
    // Moved along, so that nothing of the result is destroyed off the loop.
    loop->post([alive, apply = std::move(apply)] {
      if (auto outstanding = alive.lock()) {
        --*outstanding;
        apply();
      }
    });
  });
}

void parallelFor(std::size_t count, const std::function<void(std::size_t)>& job, unsigned workers) {
  if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t threads = std::min<std::size_t>(workers, count);
  std::atomic<std::size_t> next{0};
  const auto take = [&] {
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;)
      guarded([&] { job(i); });
  };
  std::vector<std::thread> helpers;
  for (std::size_t t = 1; t < threads; ++t) helpers.emplace_back(take);
  take();
  for (std::thread& helper : helpers) helper.join();
}

}  // namespace talvane

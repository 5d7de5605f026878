// The capture thread: reads the microphone and feeds the recogniser off the loop; everything it
// learns is posted back to the main context.
#include "voice/capture.h"

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/event_loop.h"
#include "voice/talk.h"

namespace talvane {

struct Capture::Worker {
  std::thread thread;
  std::atomic<bool> stop{false};
  std::atomic<bool> drain{false};  // stopped by the user: recognise what was already captured

  // What a recording's thread sends the main loop.
  using Post = std::function<void(std::function<void()>)>;
  // How listening ended.
  enum class Heard { stopped, ended, lost };

  // Feeds the recogniser block by block until stopped, reporting levels and changed partial
  // results; the audio goes to `kept` too.
  Heard listen(AudioInput& in, Recognizer& rec, Samples& kept,
               const std::shared_ptr<Callbacks>& callbacks, const Post& post) const {
    std::int16_t block[kBlock];
    std::string shown;
    for (int n = 0; !stop; ++n) {
      const long got = in.read(block, kBlock);
      if (got == AudioInput::kFailed) return Heard::lost;
      if (got == AudioInput::kEnd) {
        post([callbacks, text = rec.partial()] {
          callbacks->partial(text);
          callbacks->ended();
        });
        while (!stop) g_usleep(5000);
        return Heard::ended;
      }
      const auto count = static_cast<std::size_t>(got);
      rec.feed(block, count);
      keep(kept, block, count);
      post([callbacks, l = level(block, count)] { callbacks->level(l); });
      if (n % kPartialEvery == kPartialEvery - 1) {
        std::string text = rec.partial();
        if (text != shown) {
          shown = text;
          post([callbacks, text] { callbacks->partial(text); });
        }
      }
    }
    return Heard::stopped;
  }

  // Under load the recogniser falls behind the microphone: the last words are captured but
  // still waiting in the device's buffer. They were spoken before the release, so they count.
  static void catchUp(AudioInput& in, Recognizer& rec, Samples& kept) {
    std::int16_t block[kBlock];
    std::size_t owed =
        std::min(in.buffered(), static_cast<std::size_t>(kMaxDrainSeconds) * kSampleRate);
    while (owed > 0) {
      const long got = in.read(block, std::min<std::size_t>(kBlock, owed));
      if (got <= 0) break;
      const auto count = static_cast<std::size_t>(got);
      rec.feed(block, count);
      keep(kept, block, count);
      owed -= std::min(owed, count);
    }
  }

  static void keep(Samples& kept, const std::int16_t* block, std::size_t count) {
    if (kept.size() < static_cast<std::size_t>(kKeptSeconds) * kSampleRate)
      kept.insert(kept.end(), block, block + count);
  }
};

Capture::Capture(AudioInputFactory input, RecognizerFactory recognizer)
    : input_(std::move(input)),
      recognizer_(std::make_shared<std::unique_ptr<Recognizer>>()),
      makeRecognizer_(std::move(recognizer)) {}

Capture::~Capture() {
  alive_.reset();
  if (worker_) {
    worker_->stop = true;
    if (worker_->thread.joinable()) worker_->thread.join();
  }
}

bool Capture::busy() const { return worker_ != nullptr; }

void Capture::release() {
  if (!worker_) recognizer_->reset();
}

void Capture::stop() {
  if (!worker_) return;
  worker_->drain = true;
  worker_->stop = true;
}

void Capture::cancel() {
  if (worker_) worker_->stop = true;
}

void Capture::prepare(std::function<void()> done) {
  if (worker_ || *recognizer_) return;
  auto worker = std::make_shared<Worker>();
  worker_ = worker;
  std::weak_ptr<char> alive = alive_;
  worker->thread = std::thread([this, alive, worker, recognizer = recognizer_,
                                make = makeRecognizer_, done = std::move(done)] {
    if (make) *recognizer = make();
    defaultLoop().post([this, alive, worker, done] {
      if (!alive.lock()) return;
      if (worker->thread.joinable()) worker->thread.join();
      if (worker_ == worker) worker_.reset();
      if (done) done();
    });
  });
}

bool Capture::start(Callbacks cb) {
  if (worker_) return false;
  auto worker = std::make_shared<Worker>();
  worker_ = worker;
  std::weak_ptr<char> alive = alive_;
  auto callbacks = std::make_shared<Callbacks>(std::move(cb));
  // Posts `fn` to run on the main loop while this Capture lives.
  auto post = [alive](std::function<void()> fn) {
    defaultLoop().post([alive, fn = std::move(fn)] {
      if (alive.lock()) fn();
    });
  };
  // The last message also joins the thread, which has nothing left to do by then.
  auto finish = [this, alive, worker, post](std::function<void()> fn) {
    post([this, worker, fn = std::move(fn)] {
      if (worker->thread.joinable()) worker->thread.join();
      if (worker_ == worker) worker_.reset();
      fn();
    });
  };

  worker->thread = std::thread([worker, callbacks, post, finish, input = input_,
                                recognizer = recognizer_, make = makeRecognizer_] {
    std::unique_ptr<AudioInput> in = input ? input() : nullptr;
    std::optional<std::string> failure =
        in ? in->open() : std::optional<std::string>(AudioMessages::noMicrophone);
    // The device records (and buffers) while a first recording loads the model.
    if (!failure && !*recognizer && make) *recognizer = make();
    if (!failure && !*recognizer) failure = Talk::kNoRecognizer;
    if (failure) {
      finish([callbacks, message = *failure] { callbacks->failed(message); });
      return;
    }
    post([callbacks] {
      if (callbacks->opened) callbacks->opened();
    });
    Recognizer& rec = **recognizer;
    rec.begin();
    Samples kept;
    const Worker::Heard heard = worker->listen(*in, rec, kept, callbacks, post);
    if (heard == Worker::Heard::stopped && worker->drain) Worker::catchUp(*in, rec, kept);
    in.reset();  // the microphone is free as soon as we stop reading
    std::string text = rec.end();
    finish(
        [callbacks, text, kept = std::move(kept), lost = heard == Worker::Heard::lost]() mutable {
          callbacks->finished(text, std::move(kept), lost);
        });
  });
  return true;
}

}  // namespace talvane

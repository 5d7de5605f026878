#include "voice/talk.h"

#include "platform/log.h"

namespace talvane {

struct Talk::Session {
  bool listening = true;
  bool begun = false;   // a capture runs (or ran) for it
  bool opened = false;  // the microphone and the recogniser answered
  bool cancelled = false;
  bool timerDone = false;
  bool resultReady = false;
  std::string latest;
  TimerHandle timer;
};

Talk::Talk(EventLoop& loop, AudioInputFactory input, RecognizerFactory recognizer,
           std::unique_ptr<SpeechServer> server)
    : loop_(loop), capture_(std::move(input), std::move(recognizer)), server_(std::move(server)) {}

Talk::~Talk() = default;

void Talk::prepare() {
  std::weak_ptr<char> alive = alive_;
  capture_.prepare([this, alive] {
    if (alive.lock()) afterCapture();
  });
}

bool Talk::recording() const { return active_ && active_->opened; }

void Talk::start() {
  if (active_) return;
  lastError_.clear();
  active_ = std::make_shared<Session>();
  // The earlier capture still owns the microphone: this one begins when it lets go.
  if (!capture_.busy()) begin(active_);
}

void Talk::begin(const std::shared_ptr<Session>& s) {
  s->begun = true;
  std::weak_ptr<char> alive = alive_;
  capture_.start({
      [s] { s->opened = true; },
      [this, s](double level) {
        if (s->listening && onUpdate) onUpdate(s->latest, false, level);
      },
      [this, s](const std::string& text) {
        s->latest = text;
        if (s->listening && onUpdate) onUpdate(text, false, 0);
      },
      [this, s] {
        if (s->listening && onInputEnded) onInputEnded();
      },
      [this, s](const std::string& message) {
        if (active_ == s) active_.reset();
        finishing_.erase(s);
        if (s->cancelled) return afterCapture();
        lastError_ = message;
        if (onError) onError(message);
        afterCapture();
      },
      [this, s](const std::string& text, const Samples& audio, bool lost) {
        recognised(s, text, audio, lost);
        afterCapture();
      },
  });
  if (onUpdate) onUpdate("", false, 0);
}

void Talk::afterCapture() {
  if (active_ && !active_->begun && !capture_.busy()) begin(active_);
  if (capture_.busy()) return;
  std::weak_ptr<char> alive = alive_;
  unload_ = loop_.after(kUnloadAfter, [this, alive] {
    if (alive.lock()) capture_.release();
  });
}

void Talk::stop() {
  if (!active_) return;
  std::shared_ptr<Session> s = std::move(active_);
  s->listening = false;
  finishing_.insert(s);
  if (s->begun)
    capture_.stop();
  else
    s->resultReady = true;  // never heard anything: the final text is empty
  std::weak_ptr<char> alive = alive_;
  s->timer = loop_.after(kFinishDelay, [this, alive, raw = s.get()] {
    if (!alive.lock()) return;
    for (const auto& f : finishing_) {
      if (f.get() != raw) continue;
      f->timerDone = true;
      deliverWhenReady(f);
      return;
    }
  });
}

void Talk::cancel() {
  if (!active_) return;
  active_->listening = false;
  active_->cancelled = true;
  if (active_->begun) capture_.cancel();
  active_.reset();
}

void Talk::recognised(const std::shared_ptr<Session>& s, std::string text, const Samples& audio,
                      bool lost) {
  if (s->cancelled) return;
  s->latest = std::move(text);
  if (lost && s->listening) {
    // The device went away mid-sentence: what was heard is still delivered.
    log::line("Talvane: the microphone went away while listening");
    s->listening = false;
    if (active_ == s) active_.reset();
    if (s->latest.empty()) {
      lastError_ = AudioMessages::stopped;
      if (onError) onError(AudioMessages::stopped);
      return;
    }
    finishing_.insert(s);
    s->timerDone = true;
  }
  if (!server_ || audio.empty()) {
    s->resultReady = true;
    deliverWhenReady(s);
    return;
  }
  std::weak_ptr<char> alive = alive_;
  server_->transcribe(audio, [this, alive, s](std::optional<std::string> better) {
    if (!alive.lock()) return;
    if (better) s->latest = *better;
    s->resultReady = true;
    deliverWhenReady(s);
  });
}

void Talk::deliverWhenReady(const std::shared_ptr<Session>& s) {
  if (!s->timerDone || !s->resultReady || !finishing_.count(s)) return;
  // A copy: `s` may be the very entry erased next.
  std::shared_ptr<Session> keep = s;  // NOLINT(performance-unnecessary-copy-initialization)
  finishing_.erase(s);
  if (onUpdate) onUpdate(keep->latest, true, 0);
}

}  // namespace talvane

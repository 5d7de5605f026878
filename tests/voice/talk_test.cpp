#include "voice/talk.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/manual_loop.h"
#include "support/test_home.h"
#include "voice/spoken.h"
#include "voice/stand_in_server.h"

namespace talvane {
namespace {

// Hears one word per 1,000 samples: "w1 w2 ...".
class CountingRecognizer final : public Recognizer {
 public:
  void begin() override { fed_ = 0; }
  void feed(const std::int16_t*, std::size_t count) override { fed_ += count; }
  std::string partial() override {
    std::string out;
    for (std::size_t i = 1; i <= fed_ / 1000; ++i) out += (i > 1 ? " w" : "w") + std::to_string(i);
    return out;
  }
  std::string end() override { return partial(); }

 private:
  std::size_t fed_ = 0;
};

// Gives its samples, then fails (the device vanished) or ends.
class ScriptedInput final : public AudioInput {
 public:
  ScriptedInput(std::size_t samples, std::optional<std::string> openFailure, bool vanish)
      : left_(samples), openFailure_(std::move(openFailure)), vanish_(vanish) {}
  std::optional<std::string> open() override { return openFailure_; }
  long read(std::int16_t* out, std::size_t count) override {
    if (left_ == 0) return vanish_ ? kFailed : kEnd;
    const std::size_t n = std::min(count, left_);
    std::fill(out, out + n, 3000);
    left_ -= n;
    return static_cast<long>(n);
  }

 private:
  std::size_t left_;
  std::optional<std::string> openFailure_;
  bool vanish_;
};

struct Recorder {
  std::vector<std::string> finals;
  std::vector<std::string> errors;
  int partials = 0;
  bool sawLevel = false;
  int ended = 0;

  explicit Recorder(Talk& talk) { attach(talk); }
  void attach(Talk& talk) {
    talk.onUpdate = [this](const std::string& text, bool final, double level) {
      if (final) {
        EXPECT_EQ(level, 0);
        finals.push_back(text);
        return;
      }
      ++partials;
      if (level > 0) {
        sawLevel = true;
      }
    };
    talk.onError = [this](const std::string& m) { errors.push_back(m); };
    talk.onInputEnded = [this] { ++ended; };
  }
};

struct Scenario {
  std::size_t samples = 5000;
  std::optional<std::string> openFailure;
  bool vanish = false;
  bool recognizer = true;
};

std::unique_ptr<Talk> makeTalk(EventLoop& loop, Scenario s,
                               std::unique_ptr<SpeechServer> server = nullptr) {
  return std::make_unique<Talk>(
      loop, [s] { return std::make_unique<ScriptedInput>(s.samples, s.openFailure, s.vanish); },
      [s]() -> std::unique_ptr<Recognizer> {
        if (!s.recognizer) return nullptr;
        return std::make_unique<CountingRecognizer>();
      },
      std::move(server));
}

TEST(Talk, DeliversOneFinalTranscriptAfterStop) {
  GLibLoop loop;
  auto talk = makeTalk(loop, {});
  Recorder r(*talk);
  talk->start();
  talk->start();  // already listening: nothing changes
  EXPECT_TRUE(talk->listening());
  ASSERT_TRUE(testing::runUntil([&] { return r.ended == 1; }));
  EXPECT_TRUE(r.sawLevel);
  EXPECT_TRUE(talk->recording());
  const Date stopped = loop.now();
  talk->stop();
  talk->stop();
  EXPECT_FALSE(talk->listening());
  ASSERT_TRUE(testing::runUntil([&] { return !r.finals.empty(); }));
  EXPECT_GE(loop.now() - stopped, Talk::kFinishDelay - 0.01);
  testing::spin(0.5);
  EXPECT_EQ(r.finals, std::vector<std::string>({"w1 w2 w3 w4 w5"}));
  EXPECT_TRUE(r.errors.empty());
}

TEST(Talk, CancelDeliversNothing) {
  GLibLoop loop;
  auto talk = makeTalk(loop, {});
  Recorder r(*talk);
  talk->start();
  ASSERT_TRUE(testing::runUntil([&] { return r.ended == 1; }));
  talk->cancel();
  EXPECT_FALSE(talk->listening());
  testing::spin(0.6);
  EXPECT_TRUE(r.finals.empty());
  EXPECT_TRUE(r.errors.empty());
}

TEST(Talk, FailuresToStartAreOneMessageEach) {
  const std::pair<Scenario, std::string> cases[] = {
      {{5000, std::string(AudioMessages::noMicrophone), false, true}, AudioMessages::noMicrophone},
      {{5000, std::string(AudioMessages::busy), false, true}, AudioMessages::busy},
      {{5000, std::nullopt, false, false}, Talk::kNoRecognizer},
  };
  for (const auto& [setup, message] : cases) {
    GLibLoop loop;
    auto talk = makeTalk(loop, setup);
    Recorder r(*talk);
    talk->start();
    EXPECT_FALSE(talk->recording());  // nothing is known yet
    ASSERT_TRUE(testing::runUntil([&] { return !r.errors.empty(); }));
    EXPECT_FALSE(talk->listening());
    EXPECT_FALSE(talk->recording());
    EXPECT_EQ(talk->lastError(), message);
    talk->stop();  // after the failure: nothing more
    testing::spin(0.5);
    EXPECT_EQ(r.errors, std::vector<std::string>({message}));
    EXPECT_TRUE(r.finals.empty());
    talk->start();  // a new attempt forgets the old failure
    EXPECT_EQ(talk->lastError(), "");
    ASSERT_TRUE(testing::runUntil([&] { return r.errors.size() == 2; }));
  }
}

TEST(Talk, AVanishedMicrophoneStillDeliversWhatWasHeard) {
  GLibLoop loop;
  auto talk = makeTalk(loop, {3000, std::nullopt, /*vanish=*/true, true});
  Recorder r(*talk);
  talk->start();
  ASSERT_TRUE(testing::runUntil([&] { return !r.finals.empty(); }));
  EXPECT_EQ(r.finals, std::vector<std::string>({"w1 w2 w3"}));
  EXPECT_FALSE(talk->listening());

  // With nothing heard there is nothing to deliver: the user is told instead.
  auto silent = makeTalk(loop, {0, std::nullopt, true, true});
  Recorder s(*silent);
  silent->start();
  ASSERT_TRUE(testing::runUntil([&] { return !s.errors.empty(); }));
  EXPECT_EQ(s.errors, std::vector<std::string>({AudioMessages::stopped}));
  EXPECT_TRUE(s.finals.empty());
}

TEST(Talk, AStartWhileFinishingWaitsAndLosesNeitherTranscript) {
  GLibLoop loop;
  auto talk = makeTalk(loop, {});
  Recorder r(*talk);
  talk->start();
  ASSERT_TRUE(testing::runUntil([&] { return r.ended == 1; }));
  talk->stop();
  talk->start();
  EXPECT_TRUE(talk->listening());
  ASSERT_TRUE(testing::runUntil([&] { return r.ended == 2; }));
  talk->stop();
  ASSERT_TRUE(testing::runUntil([&] { return r.finals.size() == 2; }));
  EXPECT_EQ(r.finals, std::vector<std::string>({"w1 w2 w3 w4 w5", "w1 w2 w3 w4 w5"}));
}

TEST(Talk, ATranscriptionServerReplacesTheTextAndFailuresFallBack) {
  struct Case {
    int status;
    std::string body;
    double delay;
    std::string expected;
  };
  const Case cases[] = {
      {200, R"({"text":" from the server"})", 0, " from the server"},
      {500, R"({"error":"busy"})", 0, "w1 w2 w3 w4 w5"},
      {200, "<html>", 0, "w1 w2 w3 w4 w5"},
      {200, R"({"text":"late"})", 2, "w1 w2 w3 w4 w5"},
  };
  for (const auto& c : cases) {
    testing::StandInServer server([&](const testing::StandInServer::Request&) {
      return testing::StandInServer::Answer{c.status, c.body, c.delay};
    });
    GLibLoop loop;
    auto talk = makeTalk(loop, {}, std::make_unique<HttpSpeechServer>(server.url(), 0.5));
    Recorder r(*talk);
    talk->start();
    ASSERT_TRUE(testing::runUntil([&] { return r.ended == 1; }));
    talk->stop();
    ASSERT_TRUE(testing::runUntil([&] { return !r.finals.empty(); }, 15)) << c.body;
    EXPECT_EQ(r.finals.front(), c.expected);
    EXPECT_EQ(server.last().path, "/v1/audio/transcriptions");
    EXPECT_EQ(server.last().contentType, "multipart/form-data");
    EXPECT_NE(server.last().body.find("RIFF"), std::string::npos);
  }
}

TEST(Talk, TheModelIsGivenBackAfterALongIdleAndMadeAgain) {
  ManualLoop loop;  // Talk's timers; the capture thread still reports through GLib
  int made = 0;
  Talk talk(
      loop, [] { return std::make_unique<ScriptedInput>(2000, std::nullopt, false); },
      [&]() -> std::unique_ptr<Recognizer> {
        ++made;
        return std::make_unique<CountingRecognizer>();
      });
  Recorder r(talk);
  auto dictate = [&] {
    const std::size_t before = r.finals.size();
    const int ended = r.ended;
    talk.start();
    ASSERT_TRUE(testing::runUntil([&] { return r.ended > ended; }));
    talk.stop();
    loop.advance(Talk::kFinishDelay);
    ASSERT_TRUE(testing::runUntil([&] { return r.finals.size() > before; }));
  };
  dictate();
  loop.advance(Talk::kUnloadAfter - 1);
  dictate();
  EXPECT_EQ(made, 1);
  loop.advance(Talk::kUnloadAfter);
  dictate();
  EXPECT_EQ(made, 2);
  EXPECT_EQ(r.finals, std::vector<std::string>(3, "w1 w2"));
}

// A microphone the test speaks into: what it captures waits in the device's buffer until the
// capture thread reads it.
class LiveInput final : public AudioInput {
 public:
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t waiting = 0;  // captured, not yet read
    std::size_t read = 0;
  };
  explicit LiveInput(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  std::optional<std::string> open() override { return std::nullopt; }
  long read(std::int16_t* out, std::size_t count) override {
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait(lock, [&] { return shared_->waiting > 0; });
    const std::size_t n = std::min(count, shared_->waiting);
    std::fill(out, out + n, 3000);
    shared_->waiting -= n;
    shared_->read += n;
    shared_->changed.notify_all();
    return static_cast<long>(n);
  }
  std::size_t buffered() override {
    std::lock_guard lock(shared_->mutex);
    return shared_->waiting;
  }

 private:
  std::shared_ptr<Shared> shared_;
};

// A recogniser slower than speech: its first feed waits until the test lets it go.
class LaggingRecognizer final : public Recognizer {
 public:
  struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool inside = false, open = false;
  };
  explicit LaggingRecognizer(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}
  void begin() override { inner_.begin(); }
  void feed(const std::int16_t* samples, std::size_t count) override {
    std::unique_lock lock(gate_->mutex);
    gate_->inside = true;
    gate_->changed.notify_all();
    gate_->changed.wait(lock, [&] { return gate_->open; });
    inner_.feed(samples, count);
  }
  std::string partial() override { return inner_.partial(); }
  std::string end() override { return inner_.end(); }

 private:
  std::shared_ptr<Gate> gate_;
  CountingRecognizer inner_;
};

TEST(Talk, AudioCapturedBeforeTheReleaseIsRecognisedEvenWhenTheRecogniserLags) {
  GLibLoop loop;
  auto mic = std::make_shared<LiveInput::Shared>();
  auto gate = std::make_shared<LaggingRecognizer::Gate>();
  Talk talk(
      loop, [mic] { return std::make_unique<LiveInput>(mic); },
      [gate] { return std::make_unique<LaggingRecognizer>(gate); });
  Recorder r(talk);
  auto speak = [&](std::size_t samples) {
    std::lock_guard lock(mic->mutex);
    mic->waiting += samples;
    mic->changed.notify_all();
  };
  speak(Capture::kBlock);
  talk.start();
  {
    // The first block is being decoded while the user goes on speaking.
    std::unique_lock lock(gate->mutex);
    gate->changed.wait(lock, [&] { return gate->inside; });
  }
  speak(9 * Capture::kBlock);
  talk.stop();  // the key goes up with nine blocks captured and not yet decoded
  {
    std::lock_guard lock(gate->mutex);
    gate->open = true;
    gate->changed.notify_all();
  }
  ASSERT_TRUE(testing::runUntil([&] { return !r.finals.empty(); }));
  EXPECT_EQ(r.finals.front(), "w1 w2 w3 w4 w5 w6 w7 w8 w9 w10");
  std::lock_guard lock(mic->mutex);
  EXPECT_EQ(mic->read, 10u * Capture::kBlock);
}

TEST(Talk, PocketSphinxHearsSpokenWords) {
  if (!testing::haveFlite()) GTEST_SKIP() << "flite is not installed";
  auto probe = makePocketSphinx();
  if (!probe) GTEST_SKIP() << "no PocketSphinx model in " << defaultSpeechModel();
  probe.reset();
  testing::TempDir dir;
  const std::string path = testing::speak(dir.path(), "a.wav", "send it to the staging server");
  ASSERT_FALSE(path.empty());
  WavResult wav = readWav(path);
  ASSERT_EQ(wav.error, "");

  GLibLoop loop;
  Talk talk(
      loop, [&] { return makeSamplesInput(wav.samples); }, [] { return makePocketSphinx(); });
  Recorder r(talk);
  talk.prepare();
  talk.start();  // waits for the model to load
  EXPECT_TRUE(talk.listening());
  ASSERT_TRUE(testing::runUntil([&] { return r.ended == 1 || !r.errors.empty(); }, 60));
  ASSERT_TRUE(r.errors.empty()) << r.errors.front();
  talk.stop();
  ASSERT_TRUE(testing::runUntil([&] { return !r.finals.empty(); }, 30));
  EXPECT_NE(r.finals.front().find("staging server"), std::string::npos) << r.finals.front();
  EXPECT_GT(r.partials, 1);
}

}  // namespace
}  // namespace talvane

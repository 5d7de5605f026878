#pragma once
// One recording at a time on a worker thread: reads the microphone, measures the level, feeds
// the recogniser, and posts what it learns to the main loop. Nothing of it is shared with the
// main thread but a stop flag.

#include <functional>
#include <memory>
#include <string>

#include "voice/audio.h"
#include "voice/recognizer.h"

namespace talvane {

using RecognizerFactory = std::function<std::unique_ptr<Recognizer>()>;

class Capture {
 public:
  // Every callback runs on the main loop, and none after the Capture is gone. Exactly one of
  // `failed` and `finished` ends each recording.
  struct Callbacks {
    std::function<void()> opened;  // the microphone records and the recogniser is ready
    std::function<void(double level)> level;
    std::function<void(const std::string& text)> partial;
    std::function<void()> ended;  // the input ran out (a file); waiting for stop()
    std::function<void(const std::string& message)> failed;
    // `audio` is everything heard (up to kKeptSeconds); `lost`: the device went away.
    std::function<void(const std::string& text, Samples audio, bool lost)> finished;
  };

  static constexpr int kBlock = 1024;          // samples per read: 64 ms
  static constexpr int kPartialEvery = 4;      // blocks between partial results
  static constexpr int kKeptSeconds = 300;     // audio kept for a second opinion
  static constexpr int kMaxDrainSeconds = 60;  // owed audio read after a stop, at most

  // The recogniser is made on the first recording (loading it takes a while) and kept.
  Capture(AudioInputFactory input, RecognizerFactory recognizer);
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // False while an earlier recording is still ending.
  bool start(Callbacks callbacks);
  // Loads the recogniser in the background, so that the first recording is quick; a start
  // meanwhile waits (busy() is true).
  void prepare(std::function<void()> done = {});
  // Frees the recogniser (it is made again by the next recording); nothing while recording.
  void release();
  // Ends the recording: everything captured up to now, read or still buffered, is recognised
  // and `finished` follows.
  void stop();
  // Ends the recording without reading what is still buffered (its text will be thrown away).
  void cancel();
  bool busy() const;

 private:
  struct Worker;
  AudioInputFactory input_;
  std::shared_ptr<Worker> worker_;
  std::shared_ptr<std::unique_ptr<Recognizer>> recognizer_;
  RecognizerFactory makeRecognizer_;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace talvane

#pragma once
// Dictation's ears: records the microphone while asked, reports the growing transcript and
// the input level, and delivers the final transcript a moment after it is told to stop. It
// neither cleans nor punctuates nor pastes: its owner passes the final text on to Polish.

#include <functional>
#include <memory>
#include <set>
#include <string>

#include "platform/event_loop.h"
#include "voice/capture.h"
#include "voice/speech_server.h"

namespace talvane {

class Talk {
 public:
  static constexpr double kFinishDelay = 0.35;
  // The speech model (some 90 MB) is given back after this long without dictation.
  static constexpr double kUnloadAfter = 600;
  static constexpr const char* kNoRecognizer = "Speech recognition isn't available right now.";

  // `server`, when given, hears each utterance again; its answer replaces PocketSphinx's, and
  // on any failure PocketSphinx's text stands.
  Talk(EventLoop& loop, AudioInputFactory input, RecognizerFactory recognizer,
       std::unique_ptr<SpeechServer> server = nullptr);
  ~Talk();
  Talk(const Talk&) = delete;
  Talk& operator=(const Talk&) = delete;

  // Progress and result, on the main loop: `final` once per stopped capture, with `level` 0;
  // `level` is 0 in every call that carries new text.
  std::function<void(const std::string& text, bool final, double level)> onUpdate;
  // A message for the user; the capture is over and nothing else follows for it.
  std::function<void(const std::string& message)> onError;
  // A recorded file ran out (tests and `talvane dictate`): nothing more will be heard.
  std::function<void()> onInputEnded;

  // Loads the speech model in the background (the app does this at startup).
  void prepare();
  // Listening starts at once; a failure to open the microphone or the speech model arrives
  // later through onError. A start while the previous capture is still finishing waits for it.
  void start();
  // Ends the capture; the final transcript follows kFinishDelay later at the earliest.
  void stop();
  // Ends the capture at once and delivers nothing.
  void cancel();
  bool listening() const { return active_ != nullptr; }
  // Listening, and the microphone and the speech model are known to work for this capture.
  bool recording() const;
  // Why the latest capture failed; empty once a new one starts.
  const std::string& lastError() const { return lastError_; }

 private:
  struct Session;
  void begin(const std::shared_ptr<Session>& s);
  void recognised(const std::shared_ptr<Session>& s, std::string text, const Samples& audio,
                  bool lost);
  void deliverWhenReady(const std::shared_ptr<Session>& s);
  void afterCapture();

  EventLoop& loop_;
  Capture capture_;
  std::unique_ptr<SpeechServer> server_;
  std::shared_ptr<Session> active_;               // listening
  std::set<std::shared_ptr<Session>> finishing_;  // stopped, final not yet delivered
  std::string lastError_;
  TimerHandle unload_;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace talvane

#pragma once
// A local transcription server speaking the common "/v1/audio/transcriptions" API (whisper.cpp's
// server and others): a better second opinion on an utterance PocketSphinx already heard.

#include <functional>
#include <optional>
#include <string>

#include "voice/audio.h"
#include "voice/http_client.h"

namespace talvane {

class SpeechServer {
 public:
  virtual ~SpeechServer() = default;
  // `done` gets the text, or none when the server failed (and one line was logged).
  virtual void transcribe(const Samples& audio,
                          std::function<void(std::optional<std::string>)> done) = 0;
};

class HttpSpeechServer final : public SpeechServer {
 public:
  // Time for the server to answer: a base, plus this much per second of audio.
  static constexpr double kBaseTimeout = 4.0;
  static constexpr double kTimeoutPerSecond = 0.5;

  explicit HttpSpeechServer(const std::string& url, double baseTimeout = kBaseTimeout);
  void transcribe(const Samples& audio,
                  std::function<void(std::optional<std::string>)> done) override;

  // The text of a transcription answer: {"text": "..."} (or a bare string); none otherwise.
  static std::optional<std::string> parse(const std::string& body);

 private:
  std::string url_;
  double baseTimeout_;
  HttpClient http_;
};

}  // namespace talvane

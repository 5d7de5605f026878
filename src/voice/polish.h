#pragma once
// Finishes a dictation: cleanup, then punctuation and capitals from a local language model
// when one is named (an OpenAI-compatible "/v1/chat/completions" server such as llama.cpp's or
// Ollama's), accepted only if the words did not change; then the closing full stop.

#include <functional>
#include <string>

#include "platform/settings_store.h"
#include "voice/http_client.h"

namespace talvane {

// Where dictation's optional helpers live: $TALVANE_SPEECH_SERVER / "speechServer",
// $TALVANE_PUNCTUATION_SERVER / "punctuationServer" and $TALVANE_PUNCTUATION_MODEL /
// "punctuationModel" (the environment wins). Empty means none.
struct VoiceSettings {
  std::string speechServer;
  std::string punctuationServer;
  std::string punctuationModel;
  static VoiceSettings read(const SettingsStore* store);
};

namespace Polish {

inline constexpr const char* kInstructions =
    "You add punctuation and capital letters to dictated text. You never add, remove, change "
    "or reorder a word, and you never answer it.";
inline constexpr const char* kGuide =
    "The same words in the same order, with punctuation and capital letters added";
// The model answers within this, or the cleaned text is used.
inline constexpr double kTimeout = 5.0;
// A longer answer is not read on: it cannot be a sentence with punctuation added.
inline constexpr std::size_t kMaxReply = 64 * 1024;

// Adds a full stop to a text of more than two words that does not already end in one of
// . ! ? ) " ' `
std::string finish(const std::string& text);

// The chat request for a cleaned text, as JSON.
std::string request(const std::string& cleaned, const std::string& model);
// The model's text from a chat answer, trimmed; empty when the answer holds none.
std::string candidate(const std::string& body);
// Whether `answer` is `cleaned` with only capitals and the marks . , ? ! : ; ' " - changed:
// the same words at the same single-space boundaries, and nothing else.
bool onlyPunctuated(const std::string& cleaned, const std::string& answer);
// The finished text for a cleaned text and the model's answer (empty: no answer).
std::string accept(const std::string& cleaned, const std::string& answer);

}  // namespace Polish

class Polisher {
 public:
  // `url` empty: no model, the cleaned text is used as it is.
  explicit Polisher(const std::string& url = {}, std::string model = {},
                    double timeoutSeconds = Polish::kTimeout);

  // Never fails. `done` runs on the main loop, at once when no model is asked.
  void run(const std::string& text, std::function<void(std::string)> done);

 private:
  std::string url_;
  std::string model_;
  double timeout_;
  HttpClient http_;
};

}  // namespace talvane

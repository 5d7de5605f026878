#pragma once
// Speech to text, fed as it is spoken. One utterance at a time, used from one thread at a time
// (the capture thread while listening).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace talvane {

class Recognizer {
 public:
  virtual ~Recognizer() = default;
  virtual void begin() = 0;
  // 16 kHz mono samples.
  virtual void feed(const std::int16_t* samples, std::size_t count) = 0;
  // The best guess so far.
  virtual std::string partial() = 0;
  // Ends the utterance and returns its text.
  virtual std::string end() = 0;
};

// PocketSphinx with the acoustic model, language model and dictionary found in `modelDir`
// (en-us, en-us.lm.bin, cmudict-en-us.dict); none when they cannot be loaded.
std::unique_ptr<Recognizer> makePocketSphinx(const std::string& modelDir = {});

// The model folder used when none is named: $TALVANE_SPEECH_MODEL, else Debian's.
std::string defaultSpeechModel();

}  // namespace talvane

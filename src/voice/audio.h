#pragma once
// Audio as the recognisers take it: 16 kHz, mono, signed 16-bit samples. Where it comes from
// (the sound server, a file) is an AudioInput, read on the capture thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace talvane {

inline constexpr int kSampleRate = 16000;
using Samples = std::vector<std::int16_t>;

// Loudness of one buffer for the overlay's meter: root mean square of the samples as a fraction
// of full scale, times 12, capped at 1. 0 for an empty buffer.
double level(const std::int16_t* samples, std::size_t count);

class AudioInput {
 public:
  // What read() reports besides a count of samples.
  static constexpr long kEnd = 0;      // a file ran out; nothing more will come
  static constexpr long kFailed = -1;  // the device went away

  virtual ~AudioInput() = default;
  // Opens the device. None on success, else the message the user sees.
  virtual std::optional<std::string> open() = 0;
  // Blocks until up to `count` samples are read; returns how many, kEnd or kFailed.
  virtual long read(std::int16_t* out, std::size_t count) = 0;
  // Samples already captured and waiting to be read: what a recording still owes when the user
  // lets go while the recogniser lags behind.
  virtual std::size_t buffered() { return 0; }
};

using AudioInputFactory = std::function<std::unique_ptr<AudioInput>()>;

// The default sound server's default source (PulseAudio, or PipeWire's Pulse service).
std::unique_ptr<AudioInput> makePulseInput();

// Messages for the microphone's failures.
namespace AudioMessages {
inline constexpr const char* noMicrophone =
    "Talvane can't find a microphone. Check that one is connected and chosen in the sound "
    "settings.";
inline constexpr const char* busy = "The microphone wouldn't start.";
inline constexpr const char* stopped = "The microphone stopped.";
}  // namespace AudioMessages

// A WAV file read whole and brought to 16 kHz mono.
struct WavResult {
  Samples samples;
  std::string error;  // set when the file cannot be used; then samples is empty
};
WavResult readWav(const std::string& path);
WavResult decodeWav(const std::string& bytes);
// 16 kHz mono 16-bit PCM as a WAV file's bytes.
std::string encodeWav(const Samples& samples);

// Plays samples as if they were spoken now, in real time or as fast as they are read.
std::unique_ptr<AudioInput> makeSamplesInput(Samples samples, bool realTime = false);

}  // namespace talvane

#include "voice/audio.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "platform/files.h"

namespace talvane {

namespace {

std::uint32_t le32(const std::string& b, std::size_t at) {
  return static_cast<std::uint8_t>(b[at]) | static_cast<std::uint8_t>(b[at + 1]) << 8 |
         static_cast<std::uint8_t>(b[at + 2]) << 16 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at + 3])) << 24;
}
std::uint16_t le16(const std::string& b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(b[at]) |
                                    static_cast<std::uint8_t>(b[at + 1]) << 8);
}
void put32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

// Linear interpolation: enough for speech on its way to a 16 kHz recogniser.
Samples resample(const Samples& in, std::uint32_t rate) {
  if (rate == kSampleRate || in.empty()) return in;
  const double step = static_cast<double>(rate) / kSampleRate;
  const auto count = static_cast<std::size_t>(static_cast<double>(in.size()) / step);
  Samples out(count);
  for (std::size_t i = 0; i < count; ++i) {
    const double at = static_cast<double>(i) * step;
    const auto k = static_cast<std::size_t>(at);
    const double f = at - static_cast<double>(k);
    const double a = in[k], b = k + 1 < in.size() ? in[k + 1] : in[k];
    out[i] = static_cast<std::int16_t>(std::lround(a + (b - a) * f));
  }
  return out;
}

class SamplesInput final : public AudioInput {
 public:
  SamplesInput(Samples samples, bool realTime)
      : samples_(std::move(samples)), realTime_(realTime) {}
  std::optional<std::string> open() override {
    started_ = std::chrono::steady_clock::now();
    return std::nullopt;
  }
  long read(std::int16_t* out, std::size_t count) override {
    if (at_ >= samples_.size()) return kEnd;
    const std::size_t n = std::min(count, samples_.size() - at_);
    std::memcpy(out, samples_.data() + at_, n * sizeof(std::int16_t));
    at_ += n;
    if (realTime_) {
      auto due = started_ + std::chrono::microseconds(at_ * 1'000'000 / kSampleRate);
      while (std::chrono::steady_clock::now() < due) {
        struct timespec pause {
          0, 2'000'000
        };
        nanosleep(&pause, nullptr);
      }
    }
    return static_cast<long>(n);
  }
  // A file is heard whole; played in real time, only what is due by now has been "captured".
  std::size_t buffered() override {
    const std::size_t left = samples_.size() - std::min(at_, samples_.size());
    if (!realTime_) return left;
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - started_)
                             .count();
    const auto due = static_cast<std::size_t>(elapsed) * kSampleRate / 1'000'000;
    return std::min(left, due > at_ ? due - at_ : 0);
  }

 private:
  Samples samples_;
  bool realTime_;
  std::size_t at_ = 0;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace

double level(const std::int16_t* samples, std::size_t count) {
  if (count == 0) return 0;
  double sum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double v = samples[i] / 32768.0;
    sum += v * v;
  }
  return std::min(std::sqrt(sum / static_cast<double>(count)) * 12.0, 1.0);
}

WavResult decodeWav(const std::string& b) {
  if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0)
    return {{}, "not a WAV file"};
  std::uint16_t format = 0, channels = 0, bits = 0;
  std::uint32_t rate = 0;
  bool haveFormat = false;
  std::size_t at = 12;
  while (at + 8 <= b.size()) {
    const std::string id = b.substr(at, 4);
    std::size_t size = le32(b, at + 4);
    const std::size_t body = at + 8;
    if (id == "fmt " && size >= 16 && body + 16 <= b.size()) {
      format = le16(b, body);
      channels = le16(b, body + 2);
      rate = le32(b, body + 4);
      bits = le16(b, body + 14);
      // WAVE_FORMAT_EXTENSIBLE keeps the real format in its sub-format's first two bytes.
      if (format == 0xFFFE && size >= 26 && body + 26 <= b.size()) format = le16(b, body + 24);
      haveFormat = true;
    } else if (id == "data") {
      if (!haveFormat) return {{}, "the WAV file has no format before its audio"};
      if (format != 1 || bits != 16)
        return {{},
                "not 16-bit PCM audio (format " + std::to_string(format) + ", " +
                    std::to_string(bits) + " bits); convert it to 16-bit PCM"};
      if (channels < 1 || channels > 8)
        return {{}, "unsupported channel count " + std::to_string(channels)};
      if (rate < 4000 || rate > 192000)
        return {{}, "unsupported sample rate " + std::to_string(rate) + " Hz"};
      // Streams that never learned their length write 0 or all ones: read to the end.
      size = std::min(size, b.size() - body);
      if (size == 0) size = b.size() - body;
      const std::size_t frames = size / (std::size_t{2} * channels);
      Samples mono(frames);
      for (std::size_t f = 0; f < frames; ++f) {
        long sum = 0;
        for (std::size_t c = 0; c < channels; ++c)
          sum += static_cast<std::int16_t>(le16(b, body + 2 * (f * channels + c)));
        mono[f] = static_cast<std::int16_t>(sum / channels);
      }
      return {resample(mono, rate), ""};
    }
    at = body + size + (size & 1);
  }
  return {{}, "the WAV file has no audio"};
}

WavResult readWav(const std::string& path) {
  auto bytes = files::read(path);
  if (!bytes) return {{}, "cannot read " + path};
  return decodeWav(*bytes);
}

std::string encodeWav(const Samples& samples) {
  const auto data = static_cast<std::uint32_t>(samples.size() * 2);
  std::string out;
  out.reserve(44 + data);
  out += "RIFF";
  put32(out, 36 + data);
  out += "WAVEfmt ";
  put32(out, 16);
  put16(out, 1);
  put16(out, 1);
  put32(out, kSampleRate);
  put32(out, kSampleRate * 2);
  put16(out, 2);
  put16(out, 16);
  out += "data";
  put32(out, data);
  for (std::int16_t s : samples) put16(out, static_cast<std::uint16_t>(s));
  return out;
}

std::unique_ptr<AudioInput> makeSamplesInput(Samples samples, bool realTime) {
  return std::make_unique<SamplesInput>(std::move(samples), realTime);
}

}  // namespace talvane

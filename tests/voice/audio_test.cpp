#include "voice/audio.h"

#include <gtest/gtest.h>

#include <cmath>

namespace talvane {
namespace {

TEST(Audio, LevelIsScaledRmsCappedAtOne) {
  EXPECT_EQ(level(nullptr, 0), 0);
  Samples silent(1024, 0);
  EXPECT_EQ(level(silent.data(), silent.size()), 0);
  Samples full(1024, 32767);
  EXPECT_NEAR(level(full.data(), full.size()), 1.0, 1e-9);
  // A square wave of amplitude 0.05 has an rms of 0.05: 0.6 on the meter.
  Samples quiet(1024);
  for (std::size_t i = 0; i < quiet.size(); ++i) quiet[i] = (i % 2 ? 1 : -1) * 1638;
  EXPECT_NEAR(level(quiet.data(), quiet.size()), 0.6, 0.001);
}

std::string wav(std::uint16_t format, std::uint16_t channels, std::uint32_t rate,
                std::uint16_t bits, const std::vector<std::int16_t>& interleaved) {
  auto put32 = [](std::string& o, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) o.push_back(static_cast<char>(v >> (8 * i)));
  };
  auto put16 = [](std::string& o, std::uint16_t v) {
    o.push_back(static_cast<char>(v));
    o.push_back(static_cast<char>(v >> 8));
  };
  std::string data;
  for (auto s : interleaved) put16(data, static_cast<std::uint16_t>(s));
  std::string o = "RIFF";
  put32(o, static_cast<std::uint32_t>(4 + 8 + 16 + 8 + 8 + 4 + data.size()));
  o += "WAVE";
  o += "LIST";  // a chunk we do not know comes first
  put32(o, 4);
  o += "INFO";
  o += "fmt ";
  put32(o, 16);
  put16(o, format);
  put16(o, channels);
  put32(o, rate);
  put32(o, rate * channels * bits / 8);
  put16(o, static_cast<std::uint16_t>(channels * bits / 8));
  put16(o, bits);
  o += "data";
  put32(o, static_cast<std::uint32_t>(data.size()));
  return o + data;
}

TEST(Audio, ReadsSixteenBitPcmAtAnyRateAndChannelCount) {
  std::vector<std::int16_t> ramp(1600);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::int16_t>(i);

  WavResult same = decodeWav(wav(1, 1, 16000, 16, ramp));
  ASSERT_EQ(same.error, "");
  EXPECT_EQ(same.samples, ramp);
  EXPECT_EQ(decodeWav(encodeWav(ramp)).samples, ramp);

  WavResult up = decodeWav(wav(1, 1, 8000, 16, ramp));
  ASSERT_EQ(up.error, "");
  EXPECT_EQ(up.samples.size(), 3200u);
  EXPECT_EQ(up.samples[101], 51);  // halfway between 50 and 51, rounded

  std::vector<std::int16_t> stereo;
  for (int i = 0; i < 4410; ++i) {
    stereo.push_back(1000);
    stereo.push_back(3000);
  }
  WavResult down = decodeWav(wav(1, 2, 44100, 16, stereo));
  ASSERT_EQ(down.error, "");
  EXPECT_EQ(down.samples.size(), 1600u);
  EXPECT_EQ(down.samples[800], 2000);
}

TEST(Audio, RejectsWhatIsNotSixteenBitPcm) {
  const std::pair<std::string, const char*> bad[] = {
      {"", "not a WAV file"},
      {"RIFF....WAVE", "the WAV file has no audio"},
      {wav(3, 1, 16000, 32, {0, 0}), "not 16-bit PCM"},
      {wav(1, 1, 16000, 8, {0, 0}), "not 16-bit PCM"},
      {wav(1, 1, 100, 16, {0, 0}), "unsupported sample rate"},
      {std::string("RIFF\x10\0\0\0WAVEdata\4\0\0\0\0\0\0\0", 24), "no format"},
  };
  for (const auto& [bytes, why] : bad) {
    WavResult r = decodeWav(bytes);
    EXPECT_TRUE(r.samples.empty());
    EXPECT_NE(r.error.find(why), std::string::npos) << r.error;
  }
  EXPECT_NE(readWav("/nonexistent.wav").error.find("cannot read"), std::string::npos);
}

}  // namespace
}  // namespace talvane

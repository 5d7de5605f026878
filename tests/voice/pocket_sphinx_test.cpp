// The built-in recogniser with the developer-speech model built beside the programs: it hears
// programming words that Debian's general dictionary does not have, so hearing them shows the
// model and its pronunciations were loaded. Decoding is deterministic for a given file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "voice/recognizer.h"
#include "voice/spoken.h"

namespace talvane {
namespace {

std::string hear(Recognizer& recognizer, const std::string& file) {
  WavResult wav = readWav(file);
  if (!wav.error.empty()) return "(" + wav.error + ")";
  wav.samples.resize(wav.samples.size() + kSampleRate / 2, 0);
  recognizer.begin();
  for (std::size_t at = 0; at < wav.samples.size(); at += 1024)
    recognizer.feed(wav.samples.data() + at, std::min<std::size_t>(1024, wav.samples.size() - at));
  return recognizer.end();
}

bool hasWord(const std::string& text, const std::string& word) {
  return (" " + text + " ").find(" " + word + " ") != std::string::npos;
}

class PocketSphinxTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!testing::haveFlite()) return;
    recognizer_ = makePocketSphinx().release();
  }
  static void TearDownTestSuite() {
    delete recognizer_;
    recognizer_ = nullptr;
  }
  void SetUp() override {
    if (!testing::haveFlite()) GTEST_SKIP() << "flite is not installed";
    if (!recognizer_) GTEST_SKIP() << "no PocketSphinx model in " << defaultSpeechModel();
  }

  static Recognizer* recognizer_;
  testing::TempDir dir_;
};
Recognizer* PocketSphinxTest::recognizer_ = nullptr;

TEST_F(PocketSphinxTest, HearsProgrammingWordsOfTheDeveloperModel) {
  struct Case {
    const char* spoken;
    const char* word;  // not in the general dictionary
  };
  const Case cases[] = {
      {"run npm install again", "npm"},
      {"parse the json response", "json"},
      {"the config file is wrong", "config"},
      {"explain this regex to me", "regex"},
  };
  int i = 0;
  for (const Case& c : cases) {
    const std::string file = testing::speak(dir_.path(), std::to_string(i++) + ".wav", c.spoken);
    ASSERT_FALSE(file.empty());
    const std::string heard = hear(*recognizer_, file);
    EXPECT_TRUE(hasWord(heard, c.word)) << c.spoken << " -> " << heard;
  }
}

TEST_F(PocketSphinxTest, HearsTheCorrectionCue) {
  const std::string file = testing::speak(dir_.path(), "cue.wav", "no wait use the other one");
  ASSERT_FALSE(file.empty());
  EXPECT_NE(hear(*recognizer_, file).find("no wait"), std::string::npos);
}

TEST_F(PocketSphinxTest, WithoutTheDeveloperModelTheGeneralOneStillHears) {
  const std::string file = testing::speak(dir_.path(), "a.wav", "send it to the staging server");
  ASSERT_FALSE(file.empty());
  // A folder without the developer files: the general model alone.
  setenv("TALVANE_SPEECH_DATA", dir_.path().c_str(), 1);
  auto general = makePocketSphinx();
  unsetenv("TALVANE_SPEECH_DATA");
  ASSERT_TRUE(general);
  EXPECT_NE(hear(*general, file).find("staging server"), std::string::npos);
  // Words only the developer dictionary has stay out of reach.
  const std::string again = testing::speak(dir_.path(), "b.wav", "run npm install");
  EXPECT_FALSE(hasWord(hear(*general, again), "npm"));
}

}  // namespace
}  // namespace talvane

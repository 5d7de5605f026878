#include "voice/dictation.h"

#include <gtest/gtest.h>

namespace talvane {
namespace {

struct Case {
  const char* in;
  const char* out;
};

TEST(Dictation, CleansFillersCorrectionsAndRestarts) {
  const Case cases[] = {
      {"um I think we should use Postgres", "I think we should use Postgres"},
      {"send it to the staging server no wait the production server",
       "Send it to the production server"},
      {"call it blue actually no make it green", "Call it green"},
      {"send it to Bob no wait Alice and Carol", "Send it to Alice and Carol"},
      {"make it blue no wait", "Make it"},
      {"I want the red one scratch that the blue one", "The blue one"},
      {"go left scratch that go right start over go up", "Go up"},
      {"so yeah that's it", "Yeah that's it"},
      {"I like pizza", "I like pizza"},
      {"we like fixed it", "We fixed it"},
      {"um, uh", ""},
      {"", ""},
      {"hello , world ,, again", "Hello, world, again"},
      // Each filler pattern on its own.
      {"ummm hmmm it works", "It works"},
      {"erm, ah. done", "Done"},
      {"it is, you know, fine", "It is, fine"},
      {"i mean the other one", "The other one"},
      {"okay so run the tests", "Run the tests"},
      {"alright, ship it", "Ship it"},
      {"the output is like, huge", "The output is huge"},
      {"and just like that", "And just that"},
      {"it like runs now", "It runs now"},
      {"we like five of them", "We five of them"},
      {"they like apples", "They like apples"},
      {"like, what happened", "What happened"},
      {"LIKE what", "What"},
      // Cue words inside other words do not count.
      {"the ummbrella is so yeahhh", "The ummbrella is so yeahhh"},
      // Corrections: a comma-closed word ends the count, at most four words are taken, and a
      // later cue applies to the already corrected text.
      {"use port 80 correction 8080, then restart", "Use port 8080, then restart"},
      {"add a b c d e f i meant v w x y z", "Add a b v w x y z"},
      // The first cue counts "blue no wait green" as its four words and takes both before it.
      {"pick red no wait blue no wait green", "Green"},
      {"pick red, No Wait, blue", "Pick blue"},
      {"no wait", ""},
      {"it should be fast sorry no it's slow", "It should be slow"},
      // Whitespace of every kind collapses; the speaker's case is kept.
      {"  hello\t\n  World  ", "Hello World"},
      {"hey . there ! you ?", "Hey. there! you?"},
      {",,, hi ,,,", "Hi"},
      // Full upper-case mapping of the first character.
      {"ßtraße", "SStraße"},
      {"élan", "Élan"},
      {"你好 world", "你好 world"},
  };
  for (const auto& c : cases) EXPECT_EQ(Dictation::clean(c.in), c.out) << c.in;
}

TEST(Dictation, ARestartCueCountsOnlyWhereItStandsAsOne) {
  const Case cases[] = {
      // Cues: a pause mark after them, or two more words that restate what came before.
      {"use the red theme, scratch that, blue", "Blue"},
      {"run the linter forget that. run the tests", "Run the tests"},
      {"open the old file start over open the new file", "Open the new file"},
      // The same words inside a sentence.
      {"the server should start over https", "The server should start over https"},
      {"don't forget that the build needs node eighteen",
       "Don't forget that the build needs node eighteen"},
      {"we can start over with a clean branch", "We can start over with a clean branch"},
      {"start over with a clean branch", "Start over with a clean branch"},
      {"the loop will start over when it crashes", "The loop will start over when it crashes"},
      {"please scratch that itch", "Please scratch that itch"},
      {"I forget that the tests are slow", "I forget that the tests are slow"},
      {"let's start over.", "Let's start over."},
      // A cue that is not one does not hide an earlier one that is.
      {"pick red scratch that pick blue so we can start over later",
       "Pick blue so we can start over later"},
      {"don\u2019t forget that the cache is warm", "Don\u2019t forget that the cache is warm"},
  };
  for (const auto& c : cases) EXPECT_EQ(Dictation::clean(c.in), c.out) << c.in;
}

TEST(Dictation, SurvivesInvalidUtf8) {
  std::string bad = "um hi \xff\xfe there";
  EXPECT_EQ(Dictation::clean(bad), "Hi \xEF\xBF\xBD\xEF\xBF\xBD there");
}

TEST(Dictation, WordsIgnoreCasePunctuationAndSpacing) {
  const std::pair<const char*, const char*> same[] = {
      {"yes do it", "Yes, do it!"},
      {"hello world", "Hello-world."},
      {"e mail", "email"},
      {"Où est-il", "où est il?"},
  };
  for (const auto& [a, b] : same) EXPECT_EQ(Dictation::words(a), Dictation::words(b)) << a;
  const std::pair<const char*, const char*> different[] = {
      {"take two", "take 2"},
      {"run the tests", "run the tests now"},
      {"a b", "b a"},
  };
  for (const auto& [a, b] : different) EXPECT_NE(Dictation::words(a), Dictation::words(b)) << a;
}

TEST(Dictation, CountsWordsAtSingleSpaces) {
  EXPECT_EQ(Dictation::wordCount(""), 0u);
  EXPECT_EQ(Dictation::wordCount("   "), 0u);
  EXPECT_EQ(Dictation::wordCount(" yes  do it "), 3u);
}

}  // namespace
}  // namespace talvane

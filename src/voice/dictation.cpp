#include "voice/dictation.h"

#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

namespace talvane::Dictation {
namespace {

using icu::RegexMatcher;
using icu::UnicodeString;

constexpr const char* kFillers[] = {
    R"(\b(um+|uh+|erm+|hmm+|uh-huh|ah)\b[,.]?)",
    R"(\byou know\b,?)",
    R"(\bi mean\b,?(?= ))",
    R"(^ ?(okay|ok|alright|so)( so)?\b,?)",
    R"(\bso yeah\b,?)",
    R"(\b(like),(?= ))",
    R"((?<=\b(so|just|um|uh|and|but|yeah|okay|ok)) like\b)",
    // One pattern in two literals.  NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
    (R"((?<=\b(you|we|they|it|to|is|was|really|kinda|gonna)) like\b(?= (\w+ing|\w+ed|retry|add|)"
     R"(make|use|run|fix|change|move|go|do|put|get|set|try|just|maybe|five|six|\d)))"),
};
// A filler pattern runs only when its key word is in the text (case-folded); most transcripts
// hold none of them, and a look-behind tried at every position is the dearest step.
constexpr const char16_t* kFillerKeys[] = {nullptr,    u"you know", u"i mean", nullptr,
                                           u"so yeah", u"like",     u"like",   u"like"};
// Each occurrence of a restart cue; whether it is one is decided by restartsHere.
constexpr const char* kRestartCue = R"((?i)\b(scratch that|forget that|start over)\b([,.])?)";
// A cue right after one of these words is part of the sentence: "don't forget that the build
// needs node", "the server should start over", "we can start over with a clean branch".
constexpr const char* kBindingWords[] = {
    "don't", "dont",  "do",     "does",  "did",    "didn't", "doesn't", "not",    "never",  "to",
    "will",  "would", "should", "could", "can",    "can't",  "cant",    "cannot", "must",   "might",
    "may",   "shall", "won't",  "wont",  "i",      "you",    "we",      "they",   "he",     "she",
    "it",    "let's", "lets",   "let",   "i'll",   "we'll",  "you'll",  "it'll",  "please", "and",
    "or",    "then",  "just",   "also",  "always", "people"};
constexpr const char* kLeadingLike = R"(^\s*like\b,?)";
constexpr const char* kCorrectionCue =
    R"((?i),? \b(no wait|wait no|no sorry|sorry no|actually no|no actually|i meant|correction)\b,? )"
    R"((make it |it's |it should be )?)";
constexpr const char* kStopWords[] = {"and", "then", "but", "so", "because", "please"};
constexpr int kMaxCorrectedWords = 4;

// Compiled once per thread: building a matcher costs far more than running it on a sentence.
struct Matchers {
  std::unique_ptr<RegexMatcher> whitespace, restart, leadingLike, correction;
  std::array<std::unique_ptr<RegexMatcher>, std::size(kFillers)> fillers;
  std::unique_ptr<RegexMatcher> beforePunctuation, commas, spaces;

  static std::unique_ptr<RegexMatcher> make(const char* source, uint32_t flags = 0) {
    UErrorCode status = U_ZERO_ERROR;
    auto m = std::make_unique<RegexMatcher>(UnicodeString::fromUTF8(source), flags, status);
    if (U_FAILURE(status)) return nullptr;
    return m;
  }

  Matchers() {
    whitespace = make(R"(\s+)");
    restart = make(kRestartCue);
    for (std::size_t i = 0; i < std::size(kFillers); ++i)
      fillers[i] = make(kFillers[i], UREGEX_CASE_INSENSITIVE);
    leadingLike = make(kLeadingLike, UREGEX_CASE_INSENSITIVE);
    correction = make(kCorrectionCue);
    beforePunctuation = make(R"(\s+([,.?!]))");
    commas = make(",{2,}");
    spaces = make(R"(\s{2,})");
  }
};

Matchers& matchers() {
  thread_local Matchers m;
  return m;
}

UnicodeString replaceAll(RegexMatcher* m, const UnicodeString& s, const UnicodeString& with) {
  if (!m) return s;
  UErrorCode status = U_ZERO_ERROR;
  m->reset(s);
  UnicodeString out = m->replaceAll(with, status);
  return U_SUCCESS(status) ? out : s;
}

std::vector<UnicodeString> split(const UnicodeString& s) {
  std::vector<UnicodeString> out;
  int32_t start = 0;
  const int32_t n = s.length();
  for (int32_t i = 0; i <= n; ++i) {
    if (i == n || s.charAt(i) == u' ') {
      if (i > start) out.push_back(UnicodeString(s, start, i - start));
      start = i + 1;
    }
  }
  return out;
}

bool isStopWord(const UnicodeString& word) {
  UnicodeString lower(word);
  lower.toLower(icu::Locale::getRoot());
  for (const char* stop : kStopWords)
    if (lower == UnicodeString(stop, -1, US_INV)) return true;
  return false;
}

// One self-correction: the words after the cue replace as many words before it (at least one,
// at most four, counting up to a stop word or a word that closes a clause).
UnicodeString applyCorrection(const UnicodeString& s, int32_t start, int32_t end) {
  std::vector<UnicodeString> before = split(UnicodeString(s, 0, start));
  std::vector<UnicodeString> after = split(UnicodeString(s, end));
  int n = 0;
  for (const UnicodeString& word : after) {
    if (isStopWord(word) || n == kMaxCorrectedWords) break;
    ++n;
    if (word.endsWith(u",") || word.endsWith(u".")) break;
  }
  const std::size_t drop = std::min(before.size(), static_cast<std::size_t>(std::max(n, 1)));
  before.resize(before.size() - drop);
  UnicodeString out(u' ');
  for (const auto* list : {&before, &after}) {
    for (const UnicodeString& word : *list) {
      out += word;
      out += u' ';
    }
  }
  if (out.length() == 1) out += u' ';
  return out;
}

bool isTrimmed(char16_t c) { return c == u' ' || c == u','; }

// A word as compared here: case-folded, typographic apostrophes made plain, a pause mark after
// it dropped.
UnicodeString plainWord(const UnicodeString& word) {
  UnicodeString w(word);
  w.findAndReplace(UnicodeString(u"\u2019"), UnicodeString(u"'"));
  while (!w.isEmpty() && (w.endsWith(u",") || w.endsWith(u"."))) w.truncate(w.length() - 1);
  w.foldCase();
  return w;
}

// Whether a restart cue between `before` and `after` stands as one: not bound into the sentence
// by the word before it, and followed by a pause mark or by at least two words that restate
// what came before (sharing a word with it, as "the red one scratch that the blue one" does).
bool restartsHere(const UnicodeString& before, const UnicodeString& after, bool pause) {
  static const std::vector<UnicodeString> binding = [] {
    std::vector<UnicodeString> out;
    for (const char* word : kBindingWords) out.push_back(UnicodeString::fromUTF8(word));
    return out;
  }();
  const std::vector<UnicodeString> said = split(before);
  if (!said.empty() &&
      std::find(binding.begin(), binding.end(), plainWord(said.back())) != binding.end())
    return false;
  if (pause) return true;
  const std::vector<UnicodeString> then = split(after);
  if (then.size() < 2) return false;
  for (const UnicodeString& word : then) {
    const UnicodeString w = plainWord(word);
    for (const UnicodeString& earlier : said)
      if (!w.isEmpty() && plainWord(earlier) == w) return true;
  }
  return false;
}

// "Scratch that" and its like: the last cue that stands as one wins, and everything up to it is
// dropped.
void restartAfterLastCue(Matchers& m, UnicodeString& s, UnicodeString& folded) {
  if (!m.restart || (folded.indexOf(u"scratch that") < 0 && folded.indexOf(u"forget that") < 0 &&
                     folded.indexOf(u"start over") < 0))
    return;
  std::vector<std::array<int32_t, 3>> cues;  // start, end, pause mark
  m.restart->reset(s);
  UErrorCode status = U_ZERO_ERROR;
  while (m.restart->find() && U_SUCCESS(status))
    cues.push_back({m.restart->start(status), m.restart->end(status),
                    m.restart->start(2, status) >= 0 ? 1 : 0});
  for (auto cue = cues.rbegin(); U_SUCCESS(status) && cue != cues.rend(); ++cue) {
    const auto [start, end, pause] = *cue;
    if (!restartsHere(UnicodeString(s, 0, start), UnicodeString(s, end), pause != 0)) continue;
    s = UnicodeString(u' ') + UnicodeString(s, end);
    folded = s;
    folded.foldCase();
    return;
  }
}

void dropFillers(Matchers& m, UnicodeString& s, const UnicodeString& folded) {
  const UnicodeString space(u' ');
  // Removing a filler leaves spaces behind, so it never joins a key word that was not there.
  for (std::size_t i = 0; i < std::size(kFillers); ++i) {
    if (kFillerKeys[i] && folded.indexOf(kFillerKeys[i]) < 0) continue;
    s = replaceAll(m.fillers[i].get(), s, space);
  }
  if (m.leadingLike) {
    UErrorCode status = U_ZERO_ERROR;
    m.leadingLike->reset(s);
    UnicodeString out = m.leadingLike->replaceFirst(space, status);
    if (U_SUCCESS(status)) s = out;
  }
}

void applyCorrections(Matchers& m, UnicodeString& s) {
  // Each pass removes the cue and at least one word, so the loop ends.
  while (m.correction) {
    m.correction->reset(s);
    if (!m.correction->find()) break;
    UErrorCode status = U_ZERO_ERROR;
    int32_t start = m.correction->start(status);
    int32_t end = m.correction->end(status);
    if (U_FAILURE(status)) break;
    s = applyCorrection(s, start, end);
  }
}

// Punctuation against its word, single spaces, no space or comma at either end, and a capital first
// letter; empty when nothing is left.
UnicodeString asSentence(Matchers& m, UnicodeString s) {
  s = replaceAll(m.beforePunctuation.get(), s, UnicodeString(u"$1"));
  s = replaceAll(m.commas.get(), s, UnicodeString(u","));
  s = replaceAll(m.spaces.get(), s, UnicodeString(u' '));
  int32_t first = 0, last = s.length();
  while (first < last && isTrimmed(s.charAt(first))) ++first;
  while (last > first && isTrimmed(s.charAt(last - 1))) --last;
  if (first == last) return {};
  s = UnicodeString(s, first, last - first);
  const int32_t headLength = U16_LENGTH(s.char32At(0));
  UnicodeString head(s, 0, headLength);
  head.toUpper(icu::Locale::getRoot());
  s.replace(0, headLength, head);
  return s;
}

}  // namespace

std::string clean(std::string_view text) {
  Matchers& m = matchers();
  const UnicodeString space(u' ');
  UnicodeString s = UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
  s = replaceAll(m.whitespace.get(), s, space);
  s = space + s + space;
  UnicodeString folded(s);
  folded.foldCase();
  restartAfterLastCue(m, s, folded);
  dropFillers(m, s, folded);
  applyCorrections(m, s);
  std::string out;
  asSentence(m, std::move(s)).toUTF8String(out);
  return out;
}

std::string words(std::string_view text) {
  UnicodeString s = UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
  s.toLower(icu::Locale::getRoot());
  UnicodeString kept;
  for (int32_t i = 0; i < s.length();) {
    UChar32 c = s.char32At(i);
    if (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) kept.append(c);
    i += U16_LENGTH(c);
  }
  std::string out;
  kept.toUTF8String(out);
  return out;
}

std::size_t wordCount(std::string_view text) {
  std::size_t n = 0;
  bool inWord = false;
  for (char c : text) {
    if (c == ' ') {
      inWord = false;
    } else if (!inWord) {
      inWord = true;
      ++n;
    }
  }
  return n;
}

}  // namespace talvane::Dictation

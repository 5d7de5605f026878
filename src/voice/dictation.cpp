#include "voice/dictation.h"

#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

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
    R"((?<=\b(you|we|they|it|to|is|was|really|kinda|gonna)) like\b(?= (\w+ing|\w+ed|retry|add|)"
    R"(make|use|run|fix|change|move|go|do|put|get|set|try|just|maybe|five|six|\d)))",
};
// A filler pattern runs only when its key word is in the text (case-folded); most transcripts
// hold none of them, and a look-behind tried at every position is the dearest step.
constexpr const char16_t* kFillerKeys[] = {nullptr,    u"you know", u"i mean", nullptr,
                                           u"so yeah", u"like",     u"like",   u"like"};
constexpr const char* kRestartCue = R"((?i)^.*\b(scratch that|forget that|start over)\b[,.]?)";
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

}  // namespace

std::string clean(std::string_view text) {
  Matchers& m = matchers();
  const UnicodeString space(u' ');
  UnicodeString s = UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));

  s = replaceAll(m.whitespace.get(), s, space);
  s = space + s + space;

  UnicodeString folded(s);
  folded.foldCase();
  if (m.restart && (folded.indexOf(u"scratch that") >= 0 || folded.indexOf(u"forget that") >= 0 ||
                    folded.indexOf(u"start over") >= 0)) {
    m.restart->reset(s);
    UErrorCode status = U_ZERO_ERROR;
    if (m.restart->find()) {
      int32_t end = m.restart->end(status);
      if (U_SUCCESS(status)) {
        s = space + UnicodeString(s, end);
        folded = s;
        folded.foldCase();
      }
    }
  }

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

  s = replaceAll(m.beforePunctuation.get(), s, UnicodeString(u"$1"));
  s = replaceAll(m.commas.get(), s, UnicodeString(u","));
  s = replaceAll(m.spaces.get(), s, space);
  int32_t first = 0, last = s.length();
  while (first < last && isTrimmed(s.charAt(first))) ++first;
  while (last > first && isTrimmed(s.charAt(last - 1))) --last;
  if (first == last) return {};
  s = UnicodeString(s, first, last - first);

  const int32_t headLength = U16_LENGTH(s.char32At(0));
  UnicodeString head(s, 0, headLength);
  head.toUpper(icu::Locale::getRoot());
  s.replace(0, headLength, head);

  std::string out;
  s.toUTF8String(out);
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

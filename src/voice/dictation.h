#pragma once
// Turns a transcript as spoken into the text the speaker meant: fillers and self-corrections
// out, whitespace tidied, first letter capitalised. Pure text functions, no state.

#include <string>
#include <string_view>

namespace talvane::Dictation {

// Never fails: invalid UTF-8 is read with replacement characters.
std::string clean(std::string_view text);

// The form two texts are compared in: lowercased letters, marks and digits, nothing else.
// Case, punctuation, spaces and symbols do not count.
std::string words(std::string_view text);

// Splits at single spaces, dropping empty pieces.
std::size_t wordCount(std::string_view text);

}  // namespace talvane::Dictation

#pragma once
// Byte strings from outside made into well-formed UTF-8 text, never rejected.

#include <string>
#include <string_view>

namespace talvane::Utf8 {

// Every ill-formed sequence becomes one U+FFFD per maximal subpart, as Unicode recommends.
std::string repair(std::string_view bytes);

// `text` (well-formed UTF-8) without white space and line breaks at either end: Unicode
// separators (Zs, Zl, Zp), U+0009 to U+000D and U+0085.
std::string_view trim(std::string_view text);

}  // namespace talvane::Utf8

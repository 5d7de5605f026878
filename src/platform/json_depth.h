#pragma once
// How deeply a JSON text nests, found without parsing it. Copying, comparing and writing a parsed
// value recurse once per level, so text from outside that nests deeper than kMaxDepth is refused
// before it becomes a value. Header-only and free of the app's libraries, so that the relay can
// use it too.

#include <cstddef>
#include <string_view>

namespace talvane::json {

// Far deeper than any agent's payload, far shallower than what exhausts a thread's stack.
inline constexpr std::size_t kMaxDepth = 512;

// False when the arrays and objects of `text` nest deeper than `maxDepth`. Brackets inside
// strings (and, with `comments`, inside // and /* */ comments) do not count. One pass; text that
// is not JSON passes or fails as its brackets say, and is left for the parser to refuse.
inline bool depthWithin(std::string_view text, std::size_t maxDepth = kMaxDepth,
                        bool comments = false) {
  std::size_t depth = 0;
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char c = text[i];
    if (c == '"') {
      for (++i; i < n && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
    } else if (c == '[' || c == '{') {
      if (++depth > maxDepth) return false;
    } else if (c == ']' || c == '}') {
      if (depth > 0) --depth;
    } else if (comments && c == '/' && i + 1 < n) {
      if (text[i + 1] == '/') {
        const std::size_t end = text.find('\n', i + 2);
        if (end == std::string_view::npos) return true;
        i = end;
      } else if (text[i + 1] == '*') {
        const std::size_t end = text.find("*/", i + 2);
        if (end == std::string_view::npos) return true;
        i = end + 1;
      }
    }
  }
  return true;
}

}  // namespace talvane::json

#include "context/transcript_line.h"

#include <locale.h>
#include <stdlib.h>

#include <cerrno>
#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace talvane {

namespace {

using Byte = unsigned char;
using Slot = std::string_view TranscriptLine::*;

// Skips string bytes that need no attention: everything but '"', '\\', control bytes and the
// start of a multi-byte UTF-8 sequence.
const Byte* skipPlain(const Byte* p, const Byte* end) {
  while (p < end && *p != '"' && *p != '\\' && *p >= 0x20 && *p < 0x80) ++p;
  return p;
}

// Bit i of each mask describes byte i of a 64-byte stretch of string.
struct Block {
  std::uint64_t quote = 0;
  std::uint64_t backslash = 0;
  std::uint64_t special = 0;  // control bytes and bytes from 0x80 up: a closer look is needed
};

#if defined(__SSE2__)
Block classify(const Byte* p) {
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  auto bits = [](__m128i m, int at) {
    return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(m))) << at;
  };
  Block b;
  for (int at = 0; at < 64; at += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    b.quote |= bits(_mm_cmpeq_epi8(v, quote), at);
    b.backslash |= bits(_mm_cmpeq_epi8(v, backslash), at);
    // A signed compare catches the control bytes and every byte from 0x80 up at once.
    b.special |= bits(_mm_cmplt_epi8(v, space), at);
  }
  return b;
}
#else
Block classify(const Byte* p) {
  Block b;
  for (int i = 0; i < 64; ++i) {
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (p[i] == '"') b.quote |= bit;
    if (p[i] == '\\') b.backslash |= bit;
    if (p[i] < 0x20 || p[i] >= 0x80) b.special |= bit;
  }
  return b;
}
#endif

// The bytes that a backslash escapes: each one after an odd-length run of backslashes. The
// stretch must start outside an escape.
std::uint64_t escapedBy(std::uint64_t backslash) {
  constexpr std::uint64_t even = 0x5555555555555555ULL;
  const std::uint64_t follows = backslash << 1;
  const std::uint64_t oddStarts = backslash & ~even & ~follows;
  // Adding carries each run's start to just past its end, which tells odd runs from even ones.
  const std::uint64_t carried = oddStarts + backslash;
  return (even ^ (carried << 1)) & follows;
}

// The length of the well-formed UTF-8 sequence at p (no overlong forms, no surrogates, nothing
// past U+10FFFF), or 0.
int sequenceLength(const Byte* p, const Byte* end) {
  const Byte c = *p;
  Byte low = 0x80, high = 0xBF;
  int follow;
  if (c >= 0xC2 && c <= 0xDF) {
    follow = 1;
  } else if (c == 0xE0) {
    follow = 2, low = 0xA0;
  } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
    follow = 2;
  } else if (c == 0xED) {
    follow = 2, high = 0x9F;
  } else if (c == 0xF0) {
    follow = 3, low = 0x90;
  } else if (c >= 0xF1 && c <= 0xF3) {
    follow = 3;
  } else if (c == 0xF4) {
    follow = 3, high = 0x8F;
  } else {
    return 0;
  }
  if (end - p <= follow) return 0;
  if (p[1] < low || p[1] > high) return 0;
  for (int i = 2; i <= follow; ++i)
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  return follow + 1;
}

std::uint64_t bits(int from, int count) {
  const std::uint64_t run = count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
  return from >= 64 ? 0 : run << from;
}

constexpr bool isShortEscape(Byte c) {
  return c == '"' || c == '\\' || c == '/' || c == 'b' || c == 'f' || c == 'n' || c == 'r' ||
         c == 't';
}

int hexDigit(Byte c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int hex4(const Byte* p) {
  int value = 0;
  for (int i = 0; i < 4; ++i) {
    const int d = hexDigit(p[i]);
    if (d < 0) return -1;
    value = value * 16 + d;
  }
  return value;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The text of a string's inside (between the quotes) that the scanner has already validated.
std::string decode(std::string_view inner) {
  std::string out;
  out.reserve(inner.size());
  const auto* p = reinterpret_cast<const Byte*>(inner.data());
  const Byte* end = p + inner.size();
  while (p < end) {
    if (*p != '\\') {
      out += static_cast<char>(*p++);
      continue;
    }
    const Byte e = p[1];
    p += 2;
    switch (e) {
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        auto cp = static_cast<std::uint32_t>(hex4(p));
        p += 4;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          const auto low = static_cast<std::uint32_t>(hex4(p + 2));
          p += 6;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        appendUtf8(out, cp);
        break;
      }
      default:
        out += static_cast<char>(e);
        break;  // '"', '\\', '/'
    }
  }
  return out;
}

Slot topSlot(std::string_view key) {
  if (key == "type") return &TranscriptLine::type;
  if (key == "timestamp") return &TranscriptLine::timestamp;
  if (key == "cwd") return &TranscriptLine::cwd;
  if (key == "entrypoint") return &TranscriptLine::entrypoint;
  if (key == "gitBranch") return &TranscriptLine::gitBranch;
  if (key == "customTitle") return &TranscriptLine::customTitle;
  if (key == "lastPrompt") return &TranscriptLine::lastPrompt;
  return nullptr;
}

Slot messageSlot(std::string_view key) {
  if (key == "model") return &TranscriptLine::model;
  if (key == "id") return &TranscriptLine::id;
  if (key == "usage") return &TranscriptLine::usage;
  if (key == "stop_reason") return &TranscriptLine::stopReason;
  if (key == "content") return &TranscriptLine::content;
  return nullptr;
}

locale_t cLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t{});
  return c;
}

// Accepts exactly what nlohmann::json::parse accepts (strict UTF-8, surrogate pairs, finite
// numbers, a leading byte order mark, a NUL byte ending the input), so that results never depend
// on which of the two read a line.
class Scanner {
 public:
  explicit Scanner(std::string_view text)
      : p_(reinterpret_cast<const Byte*>(text.data())), end_(p_ + text.size()) {}

  // Calls fn(name, raw value) for each member of the already validated object at p_.
  template <typename Fn>
  void eachMember(Fn&& fn) {
    ++p_;
    whitespace();
    if (p_ < end_ && *p_ == '}') return;
    for (;;) {
      std::string_view key;
      std::string decoded;
      if (!name(key, decoded)) return;
      const Byte* start = p_;
      if (!value()) return;
      fn(key, view(start, p_));
      whitespace();
      if (p_ >= end_ || *p_ != ',') return;
      ++p_;
      whitespace();
    }
  }

  bool line(TranscriptLine& out) {
    if (p_ < end_ && *p_ == 0xEF) {
      if (end_ - p_ < 3 || p_[1] != 0xBB || p_[2] != 0xBF) return false;
      p_ += 3;
    }
    whitespace();
    if (p_ >= end_ || *p_ != '{') return false;
    if (!members(out, true)) return false;
    whitespace();
    return p_ >= end_ || *p_ == 0;
  }

 private:
  const Byte* p_;
  const Byte* end_;
  std::string stack_;  // open containers of the value being skipped: '{' or '['

  static std::string_view view(const Byte* from, const Byte* to) {
    return {reinterpret_cast<const char*>(from), static_cast<std::size_t>(to - from)};
  }

  void whitespace() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool expect(Byte c) {
    if (p_ >= end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  // p_ on the opening quote; leaves p_ past the closing one. Strings are most of a transcript:
  // they go 64 bytes at a time, and only a stretch that a character or an escape runs out of is
  // read byte by byte.
  bool string(bool& escaped) {
    ++p_;
    while (end_ - p_ >= 64) {
      const Block block = classify(p_);
      std::size_t limit = 64;
      bool whole = true;
      if (block.backslash == ~std::uint64_t{0}) {
        whole = false;
      } else if (block.backslash >> 63) {
        // A run of backslashes at the end may escape the next stretch's first byte: stop before
        // it, so that every stretch starts outside an escape.
        limit = 64 - static_cast<std::size_t>(__builtin_clzll(~block.backslash));
      }
      const std::uint64_t inside =
          limit == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << limit) - 1;
      const std::uint64_t escapes = escapedBy(block.backslash) & inside;
      const std::uint64_t quotes = block.quote & ~escapes & inside;
      const std::uint64_t before = quotes ? (quotes & (0 - quotes)) - 1 : inside;
      const int width = quotes ? __builtin_ctzll(quotes) : static_cast<int>(limit);
      if (block.backslash & before) escaped = true;
      Stretch stretch = whole ? Stretch::valid : Stretch::bytewise;
      // Bytes already accounted for as part of a multi-byte character or a unicode escape.
      std::uint64_t covered = 0;
      if (stretch == Stretch::valid)
        stretch = characters(block.special & before, escapes, width, covered);
      if (stretch == Stretch::valid) stretch = unicodeEscapes(escapes & before, width, covered);
      if (stretch == Stretch::invalid) return false;
      if (stretch == Stretch::bytewise) {
        const auto* stop = p_ + (quotes ? __builtin_ctzll(quotes) + 1 : limit);
        const int state = bytewise(stop, escaped);
        if (state != kOpen) return state == kClosed;
        continue;
      }
      if (quotes) {
        p_ += __builtin_ctzll(quotes) + 1;
        return true;
      }
      p_ += limit;
    }
    return bytewise(end_, escaped) == kClosed;
  }

  // How a 64-byte stretch of a string checks out: all valid, invalid, or to be read byte by
  // byte as something in it runs past its first `width` bytes.
  enum class Stretch { valid, invalid, bytewise };

  // The control and non-ASCII bytes at `special` in the stretch at p_: each must start a whole
  // UTF-8 character, unescaped.
  Stretch characters(std::uint64_t special, std::uint64_t escapes, int width,
                     std::uint64_t& covered) const {
    for (std::uint64_t e = special; e; e &= e - 1) {
      const int at = __builtin_ctzll(e);
      if ((covered >> at) & 1) continue;
      // A raw control byte, or a backslash before a control or non-ASCII byte.
      if (p_[at] < 0x80 || ((escapes >> at) & 1)) return Stretch::invalid;
      const int length = sequenceLength(p_ + at, end_);
      if (length == 0) return Stretch::invalid;
      if (at + length > width) return Stretch::bytewise;  // runs into the next stretch
      covered |= bits(at, length);
    }
    return Stretch::valid;
  }

  // The escaped bytes at `escapes` in the stretch at p_: short escapes, or unicode ones whose
  // surrogates come in pairs.
  Stretch unicodeEscapes(std::uint64_t escapes, int width, std::uint64_t& covered) const {
    for (std::uint64_t e = escapes; e; e &= e - 1) {
      const int at = __builtin_ctzll(e);
      if ((covered >> at) & 1) continue;
      const Byte c = p_[at];
      if (isShortEscape(c)) continue;
      if (c != 'u') return Stretch::invalid;
      if (at + 5 > width) return Stretch::bytewise;
      const int cp = hex4(p_ + at + 1);
      if (cp < 0 || (cp >= 0xDC00 && cp <= 0xDFFF)) return Stretch::invalid;
      int length = 5;
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        // A high surrogate takes the low one of the escape right after it.
        if (at + 11 > width) return Stretch::bytewise;
        const int low = p_[at + 5] == '\\' && p_[at + 6] == 'u' ? hex4(p_ + at + 7) : -1;
        if (low < 0xDC00 || low > 0xDFFF) return Stretch::invalid;
        length = 11;
      }
      covered |= bits(at, length);
    }
    return Stretch::valid;
  }

  static constexpr int kInvalid = -1, kOpen = 0, kClosed = 1;

  // Reads string bytes one by one until the closing quote (kClosed), an error (kInvalid), or
  // past `stop` at a byte outside any escape or UTF-8 sequence (kOpen).
  int bytewise(const Byte* stop, bool& escaped) {
    while (p_ < stop) {
      p_ = skipPlain(p_, stop);
      if (p_ >= stop) break;
      const Byte c = *p_;
      if (c == '"') {
        ++p_;
        return kClosed;
      }
      if (c == '\\') {
        escaped = true;
        if (!escape()) return kInvalid;
      } else if (c < 0x20) {
        return kInvalid;
      } else if (c >= 0x80) {
        if (!utf8()) return kInvalid;
      } else {
        ++p_;
      }
    }
    return kOpen;
  }

  bool escape() {
    if (end_ - p_ < 2) return false;
    switch (p_[1]) {
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        p_ += 2;
        return true;
      case 'u': {
        if (end_ - p_ < 6) return false;
        const int cp = hex4(p_ + 2);
        p_ += 6;
        if (cp < 0) return false;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          if (end_ - p_ < 6 || p_[0] != '\\' || p_[1] != 'u') return false;
          const int low = hex4(p_ + 2);
          p_ += 6;
          if (low < 0xDC00 || low > 0xDFFF) return false;
        }
        return true;
      }
      default:
        return false;
    }
  }

  bool utf8() {
    const int length = sequenceLength(p_, end_);
    p_ += length;
    return length > 0;
  }

  bool digits() {
    const Byte* start = p_;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    return p_ > start;
  }

  bool number() {
    const Byte* start = p_;
    const bool negative = *p_ == '-';
    if (negative) ++p_;
    if (p_ >= end_) return false;
    if (*p_ == '0') {
      ++p_;
    } else if (!digits()) {
      return false;
    }
    bool integral = true;
    if (p_ < end_ && *p_ == '.') {
      ++p_;
      integral = false;
      if (!digits()) return false;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      integral = false;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (!digits()) return false;
    }
    if (integral && p_ - start <= 18) return true;
    // Integers that do not fit 64 bits are read as doubles; a double that overflows is an error.
    const std::string token(view(start, p_));
    if (integral) {
      errno = 0;
      if (negative) {
        (void)std::strtoll(token.c_str(), nullptr, 10);
      } else {
        (void)std::strtoull(token.c_str(), nullptr, 10);
      }
      if (errno == 0) return true;
    }
    return std::isfinite(strtod_l(token.c_str(), nullptr, cLocale()));
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() || view(p_, p_ + word.size()) != word)
      return false;
    p_ += word.size();
    return true;
  }

  // A member name and its colon; `key` is the decoded name.
  bool name(std::string_view& key, std::string& decoded) {
    if (p_ >= end_ || *p_ != '"') return false;
    const Byte* start = p_;
    bool escaped = false;
    if (!string(escaped)) return false;
    key = view(start + 1, p_ - 1);
    if (escaped) {
      decoded = decode(key);
      key = decoded;
    }
    whitespace();
    if (!expect(':')) return false;
    whitespace();
    return true;
  }

  // Any value, nested as deep as it likes, without recursion.
  bool value() {
    stack_.clear();
    for (;;) {
      Read read = begin();
      if (read == Read::complete) read = next();
      if (read != Read::opened) return read == Read::complete;
    }
  }

  // Where value() is: a value read whole, a container opened (its first element comes next),
  // or invalid text.
  enum class Read { complete, opened, invalid };

  // The value at p_: a scalar or an empty container whole, else the container opened.
  Read begin() {
    if (p_ >= end_) return Read::invalid;
    const Byte open = *p_;
    if (open != '{' && open != '[') return scalar() ? Read::complete : Read::invalid;
    ++p_;
    whitespace();
    if (p_ < end_ && *p_ == static_cast<Byte>(open == '{' ? '}' : ']')) {
      ++p_;
      return Read::complete;
    }
    stack_.push_back(static_cast<char>(open));
    return open == '[' || member() ? Read::opened : Read::invalid;
  }

  bool scalar() {
    switch (*p_) {
      case '"': {
        bool escaped = false;
        return string(escaped);
      }
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default:
        return (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) && number();
    }
  }

  // A member's name and colon, in an object being skipped.
  bool member() {
    std::string_view key;
    std::string decoded;
    return name(key, decoded);
  }

  // After a complete value: closes containers until one goes on with a next element (opened),
  // or none is left open (complete).
  Read next() {
    while (!stack_.empty()) {
      whitespace();
      if (p_ >= end_) return Read::invalid;
      const char open = stack_.back();
      if (*p_ == ',') {
        ++p_;
        whitespace();
        return open == '[' || member() ? Read::opened : Read::invalid;
      }
      if (*p_ != static_cast<Byte>(open == '{' ? '}' : ']')) return Read::invalid;
      ++p_;
      stack_.pop_back();
    }
    return Read::complete;
  }

  // The members of the line's object (top) or of its "message" object.
  bool members(TranscriptLine& out, bool top) {
    ++p_;
    whitespace();
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      return true;
    }
    for (;;) {
      std::string_view key;
      std::string decoded;
      if (!name(key, decoded)) return false;
      const Byte* start = p_;
      if (top && key == "message") {
        out.model = out.id = out.usage = out.stopReason = out.content = {};
        if (p_ < end_ && *p_ == '{') {
          if (!members(out, false)) return false;
        } else if (!value()) {
          return false;
        }
        out.message = view(start, p_);
      } else {
        const Slot slot = top ? topSlot(key) : messageSlot(key);
        if (!value()) return false;
        if (slot) out.*slot = view(start, p_);
      }
      whitespace();
      if (p_ >= end_) return false;
      if (*p_ == ',') {
        ++p_;
        whitespace();
        continue;
      }
      return expect('}');
    }
  }
};

// A raw number as a parser would store it: a 64-bit integer when it fits one, else a double.
Pricing::Count count(std::string_view raw) {
  Pricing::Count c;
  if (raw.empty() || (raw[0] != '-' && (raw[0] < '0' || raw[0] > '9'))) return c;
  c.present = true;
  const std::string token(raw);
  if (token.find_first_of(".eE") == std::string::npos) {
    errno = 0;
    if (token[0] == '-') {
      const long long v = std::strtoll(token.c_str(), nullptr, 10);
      if (errno == 0) {
        c.value = static_cast<double>(v);
        c.integer = v;
        return c;
      }
    } else {
      const unsigned long long v = std::strtoull(token.c_str(), nullptr, 10);
      if (errno == 0) {
        c.value = static_cast<double>(v);
        if (v <= static_cast<unsigned long long>(INT64_MAX))
          c.integer = static_cast<std::int64_t>(v);
        return c;
      }
    }
  }
  c.value = strtod_l(token.c_str(), nullptr, cLocale());
  if (std::isfinite(c.value) && std::floor(c.value) == c.value && std::fabs(c.value) < 9.2e18)
    c.integer = static_cast<std::int64_t>(c.value);
  return c;
}

}  // namespace

Pricing::Usage TranscriptLine::counts(std::string_view raw) {
  Pricing::Usage u;
  if (!isObject(raw)) return u;
  Scanner(raw).eachMember([&](std::string_view key, std::string_view value) {
    if (key == "input_tokens") {
      u.input = count(value);
    } else if (key == "output_tokens") {
      u.output = count(value);
    } else if (key == "cache_creation_input_tokens") {
      u.cacheCreation = count(value);
    } else if (key == "cache_read_input_tokens") {
      u.cacheRead = count(value);
    } else if (key == "cache_creation") {
      // A repeated key counts with its last value only.
      u.split = isObject(value);
      u.oneHour = u.fiveMinute = {};
      if (!u.split) return;
      Scanner(value).eachMember([&](std::string_view inner, std::string_view v) {
        if (inner == "ephemeral_1h_input_tokens") u.oneHour = count(v);
        if (inner == "ephemeral_5m_input_tokens") u.fiveMinute = count(v);
      });
    }
  });
  return u;
}

std::optional<TranscriptLine> TranscriptLine::read(std::string_view text) {
  TranscriptLine out;
  Scanner scanner(text);
  if (!scanner.line(out)) return std::nullopt;
  return out;
}

std::optional<std::string> TranscriptLine::string(std::string_view raw) {
  if (!isString(raw) || raw.size() < 2) return std::nullopt;
  const std::string_view inner = raw.substr(1, raw.size() - 2);
  if (inner.find('\\') == std::string_view::npos) return std::string(inner);
  return decode(inner);
}

bool TranscriptLine::equals(std::string_view raw, std::string_view text) {
  if (!isString(raw) || raw.size() < 2) return false;
  const std::string_view inner = raw.substr(1, raw.size() - 2);
  if (inner.find('\\') == std::string_view::npos) return inner == text;
  return decode(inner) == text;
}

}  // namespace talvane

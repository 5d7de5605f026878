#include "relay/utf8.h"

namespace talvane::Utf8 {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool isSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// The code point starting at `i`, and its length; U+FFFD for a sequence cut short.
char32_t decodeAt(std::string_view text, std::size_t i, std::size_t& length) {
  const auto lead = static_cast<unsigned char>(text[i]);
  length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (i + length > text.size()) {
    length = 1;
    return 0xFFFD;
  }
  if (length == 1) return lead;
  char32_t c = lead & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) {
    c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
  }
  return c;
}

}  // namespace

std::string repair(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    // Length and the allowed range of the second byte, which excludes overlong forms,
    // surrogates and code points past U+10FFFF.
    std::size_t need = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      need = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      need = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      need = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    if (need == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t valid = 1;
    while (valid < need && i + valid < n) {
      const auto c = static_cast<unsigned char>(bytes[i + valid]);
      const unsigned char lo = valid == 1 ? low : 0x80;
      const unsigned char hi = valid == 1 ? high : 0xBF;
      if (c < lo || c > hi) break;
      ++valid;
    }
    if (valid == need) {
      out.append(bytes.substr(i, need));
    } else {
      out += kReplacement;
    }
    i += valid;
  }
  return out;
}

std::string_view trim(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t length = 1;
    if (!isSpace(decodeAt(text, begin, length))) break;
    begin += length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t length = 1;
    if (!isSpace(decodeAt(text, start, length))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace talvane::Utf8

#include "voice/paste.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace talvane::Paste {

Way choose(const Facts& f) {
  if (f.wayland) {
    // Nothing tells which window has the keyboard; only a field known not to take text stops
    // the typing.
    if (f.field == Field::other || !f.wtype) return Way::copy;
    return Way::wtype;
  }
  if (f.holder == Holder::ours) return Way::copy;
  const Way terminalKeys = f.xtermWindow ? Way::shiftInsert : Way::ctrlShiftV;
  const Way keys = f.xtermWindow || f.terminalWindow ? terminalKeys : Way::ctrlV;
  switch (f.field) {
    case Field::terminal:
      return terminalKeys;
    case Field::editable:
      return keys;
    case Field::other:
      return Way::copy;
    case Field::unknown:
      // An application without accessibility (xterm, a toolkit with its bridge off): trust the
      // X focus.
      return f.holder == Holder::other ? keys : Way::copy;
  }
  return Way::copy;
}

Field field(std::string_view role, bool editableText) {
  if (role == "terminal") return Field::terminal;
  static constexpr std::array<std::string_view, 4> kEditable{"text", "entry", "password text",
                                                             "combo box"};
  if (std::find(kEditable.begin(), kEditable.end(), role) != kEditable.end())
    return Field::editable;
  return editableText ? Field::editable : Field::other;
}

namespace {

std::string lower(std::string_view s) {
  std::string c(s);
  std::transform(c.begin(), c.end(), c.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  return c;
}

// The length of the UTF-8 sequence starting with `lead`, 1 for a stray byte.
std::size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

}  // namespace

std::string typeable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || c == '\r' || c == '\t' || c == '\v' || c == '\f') {
      out.push_back(' ');
      ++i;
      continue;
    }
    if (c < 0x20 || c == 0x7F) {
      ++i;
      continue;
    }
    const std::size_t n = std::min(sequenceLength(c), text.size() - i);
    // C1 controls (U+0080 to U+009F) start sequences in 8-bit terminals; the line and paragraph
    // separators break lines.
    const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
    const bool separator = n == 3 && text.substr(i, 2) == "\xE2\x80" &&
                           (text[i + 2] == '\xA8' || text[i + 2] == '\xA9');
    if (separator)
      out.push_back(' ');
    else if (!c1)
      out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

std::string separated(std::string_view text, Before before) {
  std::string out(text);
  if (before == Before::word && !out.empty() && out.front() != ' ') out.insert(0, 1, ' ');
  return out;
}

bool xtermClass(std::string_view wmClass) {
  static constexpr std::array<std::string_view, 6> kNames{"xterm",      "uxterm", "lxterm",
                                                          "koi8rxterm", "rxvt",   "urxvt"};
  return std::find(kNames.begin(), kNames.end(), lower(wmClass)) != kNames.end();
}

bool terminalClass(std::string_view wmClass) {
  const std::string c = lower(wmClass);
  // xterm, uxterm, urxvt's "URxvt" aside, most names end in "term" or say "terminal".
  if (c.find("terminal") != std::string::npos) return true;
  if (c.size() > 4 && c.ends_with("term")) return true;
  static constexpr std::array<std::string_view, 22> kNames{"urxvt",
                                                           "rxvt",
                                                           "kitty",
                                                           "alacritty",
                                                           "konsole",
                                                           "st",
                                                           "st-256color",
                                                           "wezterm",
                                                           "org.wezfurlong.wezterm",
                                                           "foot",
                                                           "footclient",
                                                           "tilix",
                                                           "terminator",
                                                           "guake",
                                                           "tilda",
                                                           "yakuake",
                                                           "sakura",
                                                           "terminology",
                                                           "ghostty",
                                                           "com.mitchellh.ghostty",
                                                           "kgx",
                                                           "org.gnome.console"};
  return std::find(kNames.begin(), kNames.end(), c) != kNames.end();
}

}  // namespace talvane::Paste

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
  const Way keys = f.terminalWindow ? Way::ctrlShiftV : Way::ctrlV;
  switch (f.field) {
    case Field::terminal:
      return Way::ctrlShiftV;
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

bool terminalClass(std::string_view wmClass) {
  std::string c(wmClass);
  std::transform(c.begin(), c.end(), c.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
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

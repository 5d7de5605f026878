#pragma once
// Where a finished dictation goes when no session waits for it: typed into the text field that
// has the keyboard in another application, or left on the clipboard. The desktop back end
// gathers the facts (accessibility, the X input focus, whether wtype is installed); this only
// decides, so every road can be checked without a desktop.

#include <string>
#include <string_view>

namespace talvane::Paste {

// What accessibility says about the focused element of the front window.
enum class Field {
  unknown,   // no accessibility bus, or the front application tells nothing
  editable,  // a text field, text area, combo box or other editable text
  terminal,  // a terminal: takes Ctrl+Shift+V
  other,     // a button, a list, a canvas…: typed text would be lost or misread
};

// Who holds the X keyboard focus.
enum class Holder { none, ours, other };

// What stands right before the caret, where the text will go.
enum class Before {
  unknown,  // nobody says
  nothing,  // the start of the field, a space or a line break
  word,     // anything else: new text needs a space first
};

struct Facts {
  bool wayland = false;
  Field field = Field::unknown;
  Holder holder = Holder::none;  // X11 only
  bool terminalWindow = false;   // the focused window's WM_CLASS names a terminal
  bool xtermWindow = false;      // … one of the xterm family, which pastes with Shift+Insert
  unsigned long window = 0;      // the X window with the keyboard (0: none or not X11)
  Before before = Before::unknown;
  bool wtype = false;  // wtype is installed
};

enum class Way {
  copy,         // left on the clipboard (the panel says "Copied")
  ctrlV,        // the clipboard, then Ctrl+V
  ctrlShiftV,   // the clipboard, then Ctrl+Shift+V (terminals)
  shiftInsert,  // the primary selection and the clipboard, then Shift+Insert (xterm, rxvt)
  wtype,        // typed by wtype (Wayland)
};

Way choose(const Facts& facts);

// The text as it may be typed: no control characters, line breaks and tabs as spaces (in a
// terminal a line break runs a command, an escape starts a sequence).
std::string typeable(std::string_view text);

// The text to type after `before`: a dictation follows earlier words with a space, as typing
// would.
std::string separated(std::string_view text, Before before);

// The field an accessible stands for, from its role name as AT-SPI spells it ("entry",
// "password text", "terminal"…) and whether it offers editable text in an editable state.
Field field(std::string_view role, bool editableText);

// Whether a WM_CLASS name or class (any case) is a terminal emulator's.
bool terminalClass(std::string_view wmClass);
// Whether it is xterm's or rxvt's: Ctrl+Shift+V reaches them as a plain ^V.
bool xtermClass(std::string_view wmClass);

}  // namespace talvane::Paste

#include "voice/paste.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace talvane {
namespace {

using Paste::Field;
using Paste::Holder;
using Paste::Way;

TEST(Paste, ChoosesTheRoadForEveryCaseOnX11) {
  struct Row {
    Field field;
    Holder holder;
    bool terminalWindow;
    Way way;
  };
  const Row rows[] = {
      {Field::editable, Holder::other, false, Way::ctrlV},
      {Field::editable, Holder::other, true, Way::ctrlShiftV},
      {Field::terminal, Holder::other, false, Way::ctrlShiftV},
      {Field::other, Holder::other, false, Way::copy},  // a button
      {Field::other, Holder::other, true, Way::copy},
      // Our own panel never gets the text, whatever accessibility says.
      {Field::editable, Holder::ours, false, Way::copy},
      {Field::unknown, Holder::ours, false, Way::copy},
      // Without accessibility the X focus decides.
      {Field::unknown, Holder::other, false, Way::ctrlV},
      {Field::unknown, Holder::other, true, Way::ctrlShiftV},
      {Field::unknown, Holder::none, false, Way::copy},
      // Accessibility found a field while the focus follows the pointer.
      {Field::editable, Holder::none, false, Way::ctrlV},
  };
  for (const Row& r : rows) {
    Paste::Facts f;
    f.field = r.field;
    f.holder = r.holder;
    f.terminalWindow = r.terminalWindow;
    f.wtype = true;  // never used on X11
    EXPECT_EQ(Paste::choose(f), r.way)
        << int(r.field) << " " << int(r.holder) << " " << r.terminalWindow;
  }
}

TEST(Paste, XtermAndRxvtGetShiftInsert) {
  struct Row {
    Field field;
    Holder holder;
    bool terminalWindow, xtermWindow;
    Way way;
  };
  const Row rows[] = {
      // xterm has no accessibility: the X focus and its class decide.
      {Field::unknown, Holder::other, true, true, Way::shiftInsert},
      {Field::terminal, Holder::other, true, true, Way::shiftInsert},
      {Field::terminal, Holder::other, true, false, Way::ctrlShiftV},
      {Field::other, Holder::other, true, true, Way::copy},
      {Field::unknown, Holder::ours, true, true, Way::copy},
  };
  for (const Row& r : rows) {
    Paste::Facts f;
    f.field = r.field;
    f.holder = r.holder;
    f.terminalWindow = r.terminalWindow;
    f.xtermWindow = r.xtermWindow;
    EXPECT_EQ(Paste::choose(f), r.way) << int(r.field) << " " << r.xtermWindow;
  }
  for (const char* name : {"xterm", "XTerm", "UXTerm", "URxvt", "rxvt", "lxterm"})
    EXPECT_TRUE(Paste::xtermClass(name)) << name;
  for (const char* name : {"", "kitty", "gnome-terminal", "xterm-lookalike", "st", "Alacritty"})
    EXPECT_FALSE(Paste::xtermClass(name)) << name;
}

TEST(Paste, TypesNoControlCharactersOrLineBreaks) {
  const std::pair<std::string, std::string> cases[] = {
      {"Run the tests.", "Run the tests."},
      {"ls\nrm -rf ~\r\n", "ls rm -rf ~  "},
      {"a\tb\vc\fd", "a b c d"},
      {"end\x1b[201~; rm x\x07\x7f", "end[201~; rm x"},
      {"eight\xc2\x9b"
       "31m bit",
       "eight31m bit"},  // C1 CSI
      {"line\xe2\x80\xa8next\xe2\x80\xa9para", "line next para"},
      {"caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x99\x82", "caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x99\x82"},
      {std::string("nul\0byte", 8), "nulbyte"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(Paste::typeable(in), out) << in;
}

TEST(Paste, ADictationAfterAWordStartsWithASpace) {
  using Paste::Before;
  EXPECT_EQ(Paste::separated("Yes go ahead.", Before::word), " Yes go ahead.");
  EXPECT_EQ(Paste::separated("Yes go ahead.", Before::nothing), "Yes go ahead.");
  EXPECT_EQ(Paste::separated("Yes go ahead.", Before::unknown), "Yes go ahead.");
  EXPECT_EQ(Paste::separated(" Again.", Before::word), " Again.");
  EXPECT_EQ(Paste::separated("", Before::word), "");
}

TEST(Paste, OnWaylandTypesWithWtypeOrCopies) {
  struct Row {
    Field field;
    bool wtype;
    Way way;
  };
  const Row rows[] = {
      {Field::editable, true, Way::wtype}, {Field::terminal, true, Way::wtype},
      {Field::unknown, true, Way::wtype},  {Field::other, true, Way::copy},
      {Field::editable, false, Way::copy}, {Field::unknown, false, Way::copy},
  };
  for (const Row& r : rows) {
    Paste::Facts f;
    f.wayland = true;
    f.field = r.field;
    f.wtype = r.wtype;
    f.holder = Holder::ours;  // X focus means nothing there
    EXPECT_EQ(Paste::choose(f), r.way) << int(r.field) << " " << r.wtype;
  }
}

TEST(Paste, ReadsAccessibleRoles) {
  struct Row {
    const char* role;
    bool editableText;
    Field field;
  };
  const Row rows[] = {
      {"entry", false, Field::editable},
      {"text", false, Field::editable},
      {"password text", false, Field::editable},
      {"combo box", false, Field::editable},
      {"terminal", false, Field::terminal},
      {"terminal", true, Field::terminal},
      {"push button", false, Field::other},
      {"document web", false, Field::other},
      {"document web", true, Field::editable},
      {"section", true, Field::editable},
      {"", false, Field::other},
      {"Entry", false, Field::other},
  };
  for (const Row& r : rows)
    EXPECT_EQ(Paste::field(r.role, r.editableText), r.field) << r.role << " " << r.editableText;
}

TEST(Paste, KnowsTerminalsByTheirWindowClass) {
  for (const char* name :
       {"xterm", "XTerm", "UXTerm", "URxvt", "kitty", "Alacritty", "konsole", "Gnome-terminal",
        "gnome-terminal-server", "xfce4-terminal", "st-256color", "org.wezfurlong.wezterm", "foot",
        "Tilix", "Terminator", "cool-retro-term", "com.mitchellh.ghostty", "kgx"})
    EXPECT_TRUE(Paste::terminalClass(name)) << name;
  for (const char* name : {"", "firefox", "Gedit", "code", "Navigator", "term", "steam", "st-thing",
                           "determined", "konsole-lookalike"})
    EXPECT_FALSE(Paste::terminalClass(name)) << name;
}

}  // namespace
}  // namespace talvane

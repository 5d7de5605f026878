#include "voice/paste.h"

#include <gtest/gtest.h>

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

// A shortcut the user changes in the settings works at once, on a private X server: the new
// combination is grabbed, the old one let go, and one another program holds is reported while
// the other shortcut keeps working.
// gtest comes before Xlib, whose macros (None, Bool) clash with its names.
// clang-format off
#include <gtest/gtest.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
// clang-format on

#include <sstream>

#include "app/app_services.h"
#include "app/prefs.h"
#include "platform/event_loop.h"
#include "support/test_home.h"
#include "voice/x11_hot_keys.h"
#include "voice/xvfb.h"

namespace talvane {
namespace {

using HotKey::Action;

class HotKeySettings : public ::testing::Test {
 protected:
  void SetUp() override {
    if (x.display().empty()) GTEST_SKIP() << "Xvfb is not installed";
    if (!g_find_program_in_path("xdotool")) GTEST_SKIP() << "xdotool is not installed";
    // As the app wires them: a changed combination registers both shortcuts again.
    services.onHotKeysChanged = [this] { refused = keys.reload(); };
    keys.install({{Action::open, [this] { pressed.push_back("open"); }},
                  {Action::talk, [this] { pressed.push_back("talk"); }}},
                 Prefs::comboOrDefault);
  }
  // Presses keys, then waits until `count` shortcuts arrived or a moment passed.
  void press(const std::string& keysPressed, std::size_t count) {
    std::vector<std::string> argv{"xdotool", "key"};
    std::istringstream in(keysPressed);
    for (std::string k; in >> k;) argv.push_back(k);
    ASSERT_TRUE(x.run(argv));
    testing::runUntil([&] { return pressed.size() >= count; }, 1);
  }

  testing::Xvfb x;
  GLibLoop loop;
  MemorySettingsStore store;
  AppServices services{loop};
  Prefs::Binding binding{store, &services};
  X11HotKeys keys{loop, x.display()};
  std::vector<std::string> pressed;
  std::vector<Action> refused;
};

TEST_F(HotKeySettings, AChangedCombinationWorksAtOnceAndTheOldOneIsLetGo) {
  press("ctrl+alt+t", 1);
  ASSERT_EQ(pressed, std::vector<std::string>{"talk"});

  Prefs::set("talkKey", {{"code", "F5"}, {"meta", true}});
  EXPECT_TRUE(refused.empty());
  press("super+F5", 2);
  press("ctrl+alt+t", 3);  // no longer ours
  press("ctrl+alt+r", 3);
  EXPECT_EQ(pressed, (std::vector<std::string>{"talk", "talk", "open"}));

  // Back to the built-in combination.
  Prefs::set("talkKey", {{"code", "Nope"}});
  press("ctrl+alt+t", 4);
  EXPECT_EQ(pressed.back(), "talk");
  EXPECT_EQ(pressed.size(), 4u);
}

TEST_F(HotKeySettings, ACombinationAnotherProgramHoldsIsReportedAndTheOtherStillWorks) {
  Display* other = XOpenDisplay(x.display().c_str());
  ASSERT_NE(other, nullptr);
  XGrabKey(other, XKeysymToKeycode(other, XK_k), ControlMask | ShiftMask, DefaultRootWindow(other),
           False, GrabModeAsync, GrabModeAsync);
  XSync(other, False);

  Prefs::set("openKey", {{"code", "KeyK"}, {"ctrl", true}, {"shift", true}});
  EXPECT_EQ(refused, std::vector<Action>{Action::open});
  press("ctrl+alt+t", 1);
  EXPECT_EQ(pressed, std::vector<std::string>{"talk"});

  // Once the other program lets go, choosing it again takes it.
  XCloseDisplay(other);
  Prefs::set("openKey", {{"code", "KeyK"}, {"ctrl", true}, {"shift", true}});
  EXPECT_TRUE(refused.empty());
  press("ctrl+shift+k", 2);
  EXPECT_EQ(pressed.back(), "open");
}

}  // namespace
}  // namespace talvane

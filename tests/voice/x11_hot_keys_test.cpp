// gtest comes before Xlib, whose macros (None, Bool) clash with its names.
// clang-format off
#include <gtest/gtest.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
// clang-format on

#include "voice/x11_hot_keys.h"

#include <sstream>

#include "platform/event_loop.h"
#include "support/test_home.h"
#include "voice/xvfb.h"

namespace talvane {
namespace {

using HotKey::Action;

TEST(X11HotKeys, TranslatesStoredCombinations) {
  const std::pair<const char*, unsigned long> keys[] = {
      {"KeyA", XK_a},          {"KeyR", XK_r},
      {"Digit0", XK_0},        {"Digit7", XK_7},
      {"F1", XK_F1},           {"F12", XK_F12},
      {"Space", XK_space},     {"Quote", XK_apostrophe},
      {"Backquote", XK_grave}, {"BracketRight", XK_bracketright},
      {"Equal", XK_equal},
  };
  for (const auto& [name, sym] : keys) EXPECT_EQ(keysymForCode(HotKey::codes().at(name)), sym);
  EXPECT_FALSE(keysymForCode(42));
  EXPECT_EQ(x11Modifiers(6144), unsigned(ControlMask | Mod1Mask));
  EXPECT_EQ(x11Modifiers(256 | 512), unsigned(Mod4Mask | ShiftMask));
  EXPECT_EQ(x11Modifiers(1024), 0u);
}

class X11HotKeysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (x.display().empty()) GTEST_SKIP() << "Xvfb is not installed";
    if (!g_find_program_in_path("xdotool")) GTEST_SKIP() << "xdotool is not installed";
  }
  // Presses keys and waits until `count` shortcuts arrived (or a moment passed).
  void press(const std::string& keys, std::size_t count) {
    std::vector<std::string> argv{"xdotool", "key"};
    std::istringstream in(keys);
    for (std::string k; in >> k;) argv.push_back(k);
    ASSERT_TRUE(x.run(argv));
    testing::runUntil([&] { return pressed.size() >= count; }, 2);
  }

  testing::Xvfb x;
  GLibLoop loop;
  std::vector<std::string> pressed;
  std::map<Action, HotKey::Combo> combos = HotKey::defaults();
  std::map<Action, std::function<void()>> actions{
      {Action::open, [this] { pressed.push_back("open"); }},
      {Action::talk, [this] { pressed.push_back("talk"); }}};
};

TEST_F(X11HotKeysTest, DefaultsWorkWhateverTheLocksAndPauseReleasesThem) {
  X11HotKeys keys(loop, x.display());
  ASSERT_TRUE(keys.available());
  keys.install(actions, [&](Action a) { return combos.at(a); });
  press("ctrl+alt+r", 1);
  press("ctrl+r ctrl+alt+t", 2);  // the first is not ours
  EXPECT_EQ(pressed, (std::vector<std::string>{"open", "talk"}));

  ASSERT_TRUE(x.run({"xdotool", "key", "Num_Lock"}));
  press("ctrl+alt+t", 3);
  EXPECT_EQ(pressed.back(), "talk");

  keys.pause();
  ASSERT_TRUE(x.run({"xdotool", "key", "ctrl+alt+r"}));  // goes to the front window instead

  // A changed talk key takes effect on reload; the open key keeps working.
  combos[Action::talk] = {HotKey::codes().at("F5"), HotKey::Mods::command};
  EXPECT_TRUE(keys.reload().empty());
  press("super+F5", 4);
  press("ctrl+alt+r", 5);
  EXPECT_EQ(pressed, (std::vector<std::string>{"open", "talk", "talk", "talk", "open"}));
}

TEST_F(X11HotKeysTest, ACombinationAnotherProgramHoldsIsReportedAndTheOtherStillWorks) {
  Display* other = XOpenDisplay(x.display().c_str());
  ASSERT_NE(other, nullptr);
  const int t = XKeysymToKeycode(other, XK_t);
  XGrabKey(other, t, ControlMask | Mod1Mask, DefaultRootWindow(other), False, GrabModeAsync,
           GrabModeAsync);
  XSync(other, False);

  X11HotKeys keys(loop, x.display());
  keys.install(actions, [&](Action a) { return combos.at(a); });
  EXPECT_EQ(keys.reload(), std::vector<Action>{Action::talk});
  press("ctrl+alt+r", 1);
  EXPECT_EQ(pressed, std::vector<std::string>{"open"});
  XCloseDisplay(other);
}

}  // namespace
}  // namespace talvane

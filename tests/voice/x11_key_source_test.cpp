#include "voice/x11_key_source.h"

#include <gtest/gtest.h>
// After gtest: Xlib's macros clash with its names.
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include "support/test_home.h"
#include "voice/xvfb.h"

namespace talvane {
namespace {

TEST(X11KeySource, TranslatesAltAndForeignModifiersAndInterruptions) {
  testing::Xvfb x;
  if (x.display().empty()) GTEST_SKIP() << "Xvfb is not installed";
  if (!g_find_program_in_path("xdotool")) GTEST_SKIP() << "xdotool is not installed";

  X11KeySource source(x.display());
  std::vector<std::string> seen;
  ASSERT_TRUE(source.start(
      {[&](std::uint32_t f) { seen.push_back(std::to_string(f)); }, [&] { seen.push_back("k"); }}));
  ASSERT_TRUE(x.run({"xdotool", "keydown",   "Alt_L",   "keyup",    "Alt_L",   "key",     "a",
                     "keydown", "Alt_R",     "keydown", "Shift_L",  "keyup",   "Shift_L", "keyup",
                     "Alt_R",   "click",     "1",       "keydown",  "Super_L", "keyup",   "Super_L",
                     "keydown", "Control_L", "keyup",   "Control_L"}));
  const std::vector<std::string> expected = {"524288", "0", "k",       "524288", "655360", "524288",
                                             "0",      "k", "1048576", "0",      "262144", "0"};
  ASSERT_TRUE(testing::runUntil([&] { return seen.size() >= expected.size(); }, 10));
  EXPECT_EQ(seen, expected);

  // Nothing arrives once stopped.
  source.stop();
  seen.clear();
  ASSERT_TRUE(x.run({"xdotool", "key", "b"}));
  testing::spin(0.2);
  EXPECT_TRUE(seen.empty());
}

// Window managers grab Alt+Tab; the Tab must still break the Alt press, or its release would
// pass for a tap.
TEST(X11KeySource, KeysAnotherClientGrabsStillInterrupt) {
  testing::Xvfb x;
  if (x.display().empty()) GTEST_SKIP() << "Xvfb is not installed";
  if (!g_find_program_in_path("xdotool")) GTEST_SKIP() << "xdotool is not installed";
  Display* wm = XOpenDisplay(x.display().c_str());
  ASSERT_TRUE(wm);
  XGrabKey(wm, XKeysymToKeycode(wm, XK_Tab), Mod1Mask, DefaultRootWindow(wm), True, GrabModeAsync,
           GrabModeAsync);
  XSync(wm, False);

  X11KeySource source(x.display());
  std::string seen;
  ASSERT_TRUE(
      source.start({[&](std::uint32_t f) { seen += f ? 'd' : 'u'; }, [&] { seen += 'k'; }}));
  ASSERT_TRUE(x.run({"xdotool", "keydown", "Alt_L", "key", "Tab", "keyup", "Alt_L"}));
  ASSERT_TRUE(testing::runUntil([&] { return seen.size() >= 3; }, 10));
  EXPECT_EQ(seen, "dku");
  XCloseDisplay(wm);
}

TEST(X11KeySource, WaylandSessionsOfferNoGlobalKeys) {
  const char* old = g_getenv("WAYLAND_DISPLAY");
  std::string saved = old ? old : "";
  g_setenv("WAYLAND_DISPLAY", "wayland-0", TRUE);
  X11KeySource source;
  EXPECT_FALSE(source.trusted());
  EXPECT_FALSE(source.start({[](std::uint32_t) {}, [] {}}));
  if (old)
    g_setenv("WAYLAND_DISPLAY", saved.c_str(), TRUE);
  else
    g_unsetenv("WAYLAND_DISPLAY");
}

}  // namespace
}  // namespace talvane

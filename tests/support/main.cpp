// Test entry point: the whole process runs with a throwaway HOME, so nothing can reach the
// developer's real agent configuration, even a test that forgets its own TestHome.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include "support/test_home.h"

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  talvane::testing::TempDir home;
  setenv("HOME", home.path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home.path() + "/.config").c_str(), 1);
  unsetenv("CODEX_HOME");
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

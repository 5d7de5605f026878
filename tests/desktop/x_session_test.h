#pragma once
// A suite of desktop tests sharing one private X session. Each test starts with the page built,
// the screenshots folder made, its own config folder, and the pointer parked away from the panel.

#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "desktop/x_session.h"
#include "platform/files.h"
#include "platform/gobject.h"

namespace talvane::testing {

class XSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { session_ = new XSession; }
  static void TearDownTestSuite() {
    delete session_;
    session_ = nullptr;
  }

  // Subclasses that add to it return early when IsSkipped() or HasFatalFailure().
  void SetUp() override {
    if (!session_->ok()) {
      for (const char* tool : {"Xvfb", "xcompmgr", "openbox", "xdotool"})
        if (!GCharPtr(g_find_program_in_path(tool))) GTEST_SKIP() << tool << " is not installed";
      // Installed but not up: a skip here would hide a broken desktop in CI.
      FAIL() << "Xvfb, xcompmgr or openbox could not be started";
    }
    if (!files::exists(kPage + "/index.html")) GTEST_SKIP() << "the page is not built (web/dist)";
    std::filesystem::create_directories(kShots);
    std::filesystem::create_directories(files::configHome() + "/talvane");
    session_->run("xdotool mousemove 100 900");
  }

  static inline XSession* session_ = nullptr;
};

}  // namespace talvane::testing

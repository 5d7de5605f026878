// The real app's first run on a private X session: the onboarding window instead of the panel,
// and the panel once the window is closed; later runs go straight to the panel.
#include <gtest/gtest.h>
// After gtest: Xlib's macros (None, Bool) clash with its names.
#include <X11/Xlib.h>

#include <filesystem>
#include <fstream>

#include "desktop/x_session_test.h"
#include "platform/files.h"
#include "platform/json.h"

namespace talvane::testing {
namespace {

namespace fs = std::filesystem;

const std::string kTitle = "Welcome to Talvane";
// Where the closed panel's strip shows at the top centre of the screen.
constexpr int kStripX = 880, kStripY = 4;

class OnboardingX11 : public XSessionTest {
 protected:
  void TearDown() override {
    if (app_ > 0) XSession::terminate(app_);
  }

  void settings(const std::string& text) {
    std::ofstream(files::configHome() + "/talvane/settings.json") << text;
  }
  Json savedSettings() {
    auto text = files::read(files::configHome() + "/talvane/settings.json");
    auto parsed = text ? json::parse(*text) : std::nullopt;
    return parsed ? *parsed : Json::object();
  }
  void start() {
    app_ = session_->launch({kApp},
                            {"TALVANE_DEMO=mixed", "TALVANE_WEB_DIR=" + kPage, "NO_AT_BRIDGE=1"});
  }
  bool stripShown(const std::string& name) {
    const std::string path = kShots + "/" + name + ".png";
    return waitFor(
        [&] { return session_->screenshot(path) && dark(pixel(path, kStripX, kStripY)); }, 40);
  }
  // What the window manager's close button does.
  void askToClose(unsigned long window) {
    Display* d = session_->display();
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, window, False, NoEventMask, &e);
    XSync(d, False);
  }

  pid_t app_ = 0;
};

TEST_F(OnboardingX11, FirstRunShowsTheCentredWindowAndClosingItBringsThePanel) {
  settings(R"({"theme": "dark"})");
  start();
  std::optional<unsigned long> window;
  ASSERT_TRUE(waitFor([&] { return (window = session_->findWindow(kTitle)).has_value(); }, 60))
      << "no onboarding window";
  // The page may set the height to fit its content; the width stays and the window is centred
  // for whatever height it has.
  std::optional<XSession::Geometry> g;
  auto centred = [&] {
    g = session_->geometry(*window);
    return g && g->w == 460 && g->x == (XSession::kWidth - 460) / 2 &&
           std::abs(g->y - (XSession::kHeight - g->h) / 2) <= 1;
  };
  EXPECT_TRUE(waitFor(centred, 30)) << "at " << (g ? g->x : -1) << "," << (g ? g->y : -1)
                                    << " size " << (g ? g->w : -1) << "x" << (g ? g->h : -1);
  // The page draws its dark card in the window; the panel waits, its strip not drawn yet.
  const std::string shot = kShots + "/onboarding.png";
  EXPECT_TRUE(waitFor(
      [&] {
        return session_->screenshot(shot) && dark(pixel(shot, g->x + g->w / 2, g->y + g->h / 2));
      },
      40))
      << "the page did not show in the window";
  EXPECT_FALSE(dark(pixel(shot, kStripX, kStripY)));
  EXPECT_FALSE(savedSettings().contains("onboarded"));

  askToClose(*window);
  EXPECT_TRUE(waitFor([&] { return !session_->findWindow(kTitle); }, 20))
      << "the window did not close";
  EXPECT_TRUE(stripShown("after-onboarding")) << "no panel after onboarding";
  EXPECT_TRUE(waitFor([&] { return savedSettings().value("onboarded", false); }, 10))
      << json::compact(savedSettings());
}

TEST_F(OnboardingX11, OnceOnboardedThePanelComesStraightAway) {
  settings(R"({"theme": "dark", "onboarded": true})");
  start();
  ASSERT_TRUE(stripShown("onboarded-start"));
  EXPECT_FALSE(session_->findWindow(kTitle)) << "onboarding shown again";
}

}  // namespace
}  // namespace talvane::testing

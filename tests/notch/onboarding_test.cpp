#include "notch/onboarding.h"

#include <gtest/gtest.h>

#include "app/prefs.h"
#include "platform/manual_loop.h"
#include "support/test_home.h"

namespace talvane {
namespace {

struct Page : PageHost {
  std::vector<Json> got;
  void load(const PageSource&) override {}
  void deliver(const std::string& m) override { got.push_back(Json::parse(m)); }
};

struct Window : OnboardingWindow {
  std::vector<std::string> calls;
  std::function<void()> fadeDone;
  void show(WebStage&) override { calls.push_back("show"); }
  void resize(double h) override { calls.push_back("resize " + std::to_string(int(h))); }
  void centre() override { calls.push_back("centre"); }
  void fadeOut(std::function<void()> closed) override {
    calls.push_back("fade");
    fadeDone = std::move(closed);
  }
};

class OnboardingTest : public ::testing::Test {
 protected:
  OnboardingTest() : binding(store), hub(loop, store, HubSettings{}) {}
  void SetUp() override {
    onboarding.stage().setHost(&page);
    onboarding.show();
    onboarding.stage().receive({{"type", "ready"}});
  }
  testing::TestHome home;
  ManualLoop loop;
  MemorySettingsStore store;
  Prefs::Binding binding;
  Hub hub;
  Window window;
  Page page;
  int done = 0;
  Onboarding onboarding{hub, window, [this] { ++done; }};
};

TEST_F(OnboardingTest, ThePreviewIsThePlainPillWhateverTheScreen) {
  ASSERT_FALSE(page.got.empty());
  const Json& state = page.got.back();
  EXPECT_EQ(state["type"], "state");
  EXPECT_EQ(state["geo"]["shape"], "pill");
  EXPECT_EQ(state["geo"]["notchWidth"], 0);
  EXPECT_EQ(state["geo"]["stageWidth"], 460);
  EXPECT_EQ(state["geo"]["stageHeight"], 560);
  EXPECT_FALSE(state["geo"].contains("dx"));
  EXPECT_EQ(onboarding.stage().route(), "?onboard");
}

// The window stays dark; the theme picked in it is previewed as the panel will show it.
TEST_F(OnboardingTest, AThemeChoiceShowsInThePreviewNotTheWindow) {
  for (const char* theme : {"light", "dark"}) {
    onboarding.handle({{"type", "setting"}, {"key", "theme"}, {"value", theme}});
    EXPECT_EQ(page.got.back()["panelTheme"], theme);
    EXPECT_EQ(page.got.back()["geo"]["theme"], "dark");
  }
}

TEST_F(OnboardingTest, SizeKeepsTheTopAndCentresOnlyOnce) {
  onboarding.handle({{"type", "size"}, {"h", 700}});
  onboarding.handle({{"type", "size"}, {"h", 600}});
  onboarding.handle({{"type", "size"}, {"h", "tall"}});
  onboarding.handle({{"type", "setting"}, {"key", "autoOpen"}});  // no value: nothing
  EXPECT_EQ(window.calls, (std::vector<std::string>{"show", "resize 700", "centre", "resize 600"}));
  const std::size_t pushes = page.got.size();
  onboarding.handle({{"type", "setting"}, {"key", "autoOpen"}, {"value", true}});
  EXPECT_TRUE(Prefs::autoOpen());
  EXPECT_EQ(page.got.size(), pushes + 1) << "a setting pushes the state";
}

TEST_F(OnboardingTest, DoneIsRememberedBeforeTheFadeAndFinishesOnce) {
  onboarding.handle({{"type", "onboardDone"}});
  EXPECT_TRUE(Prefs::onboarded()) << "set before the fade";
  EXPECT_EQ(done, 0);
  window.onCloseRequest();  // a close during the fade does nothing more
  onboarding.handle({{"type", "onboardDone"}});
  EXPECT_EQ(std::count(window.calls.begin(), window.calls.end(), "fade"), 1);
  ASSERT_TRUE(window.fadeDone);
  window.fadeDone();
  EXPECT_EQ(done, 1);
}

}  // namespace
}  // namespace talvane

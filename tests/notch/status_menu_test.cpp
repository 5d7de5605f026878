#include "notch/status_menu.h"

#include <gtest/gtest.h>

namespace talvane {
namespace {

TEST(StatusMenu, SummaryCountsSessionsAndThoseWaiting) {
  struct Case {
    std::size_t visible, queued;
    const char* text;
  };
  for (const Case& c :
       {Case{0, 0, "No sessions right now"}, Case{0, 1, "No sessions right now"},
        Case{1, 0, "1 session"}, Case{1, 1, "1 session \u00b7 1 needs you"},
        Case{2, 2, "2 sessions \u00b7 2 need you"}, Case{3, 1, "3 sessions \u00b7 1 needs you"}})
    EXPECT_EQ(StatusMenu::summary(c.visible, c.queued), c.text) << c.visible << "/" << c.queued;
}

std::vector<std::string> titles(const std::vector<MenuItem>& items) {
  std::vector<std::string> out;
  for (const auto& i : items) out.push_back(i.separator() ? "-" : i.title);
  return out;
}

TEST(StatusMenu, ItemsFollowWhatIsTrueWhenItOpens) {
  MenuFacts bare;
  bare.version = "1.2.3";
  EXPECT_EQ(
      titles(StatusMenu::build(bare)),
      (std::vector<std::string>{"Talvane 1.2.3", "No sessions right now", "-", "Open Talvane",
                                "Settings\u2026", "-", "Connect Claude Code", "Show Walkthrough",
                                "Check for Updates\u2026", "-", "Quit Talvane"}));

  MenuFacts full = bare;
  full.visibleSessions = 2;
  full.queuedSessions = 1;
  full.placed = full.clearable = full.hooksInstalled = true;
  full.cursorAvailable = full.cursorInstalled = true;
  const auto items = StatusMenu::build(full);
  EXPECT_EQ(titles(items),
            (std::vector<std::string>{"Talvane 1.2.3", "2 sessions \u00b7 1 needs you", "-",
                                      "Open Talvane", "Settings\u2026", "Move Back to the Notch",
                                      "Clear Finished", "-", "Disconnect Claude Code",
                                      "Disconnect Cursor", "Show Walkthrough",
                                      "Check for Updates\u2026", "-", "Quit Talvane"}));
  // The header lines are information, never actions.
  EXPECT_FALSE(items[0].enabled);
  EXPECT_FALSE(items[1].enabled);
  EXPECT_EQ(items[3].key, "o");
  EXPECT_EQ(items.back().action, MenuAction::quit);
  EXPECT_EQ(items.back().key, "q");
}

}  // namespace
}  // namespace talvane

#pragma once
// The status item's menu as plain values: what it shows is decided here, the desktop back end
// only draws the items and reports which one was chosen.

#include <cstddef>
#include <string>
#include <vector>

namespace talvane {

enum class MenuAction { none, open, settings, home, clear, hooks, cursor, tour, updates, quit };

struct MenuItem {
  std::string title;  // empty for a separator
  std::string key;    // the accelerator's letter with the platform's command modifier, or ""
  MenuAction action = MenuAction::none;
  bool enabled = false;

  bool separator() const { return title.empty(); }
  bool operator==(const MenuItem&) const = default;
};

// What the menu reflects at the moment it opens.
struct MenuFacts {
  std::string version;
  std::size_t visibleSessions = 0;
  std::size_t queuedSessions = 0;
  bool placed = false;     // the panel has been moved away from its home
  bool clearable = false;  // Clear Finished would tuck at least one session
  bool hooksInstalled = false;
  bool cursorAvailable = false;
  bool cursorInstalled = false;

  bool operator==(const MenuFacts&) const = default;
};

namespace StatusMenu {

// "No sessions right now", "1 session", "3 sessions · 1 needs you", "2 sessions · 2 need you".
std::string summary(std::size_t visible, std::size_t queued);
// Rebuilt from scratch every time the menu opens.
std::vector<MenuItem> build(const MenuFacts& facts);
// The status item's face, 18 by 18, in `fill` with the eyes cut out (an SVG document).
std::string faceSvg(const std::string& fill = "#bebebe");

}  // namespace StatusMenu
}  // namespace talvane

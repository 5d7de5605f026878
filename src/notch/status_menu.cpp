#include "notch/status_menu.h"

namespace talvane::StatusMenu {

std::string summary(std::size_t visible, std::size_t queued) {
  if (visible == 0) return "No sessions right now";
  std::string text = std::to_string(visible) + " session" + (visible == 1 ? "" : "s");
  if (queued > 0)
    text += " \u00b7 " + std::to_string(queued) + " need" + (queued == 1 ? "s" : "") + " you";
  return text;
}

std::vector<MenuItem> build(const MenuFacts& facts) {
  const MenuItem separator;
  std::vector<MenuItem> items = {
      {"Talvane " + facts.version, "", MenuAction::none, false},
      {summary(facts.visibleSessions, facts.queuedSessions), "", MenuAction::none, false},
      separator,
      {"Open Talvane", "o", MenuAction::open, true},
      {"Settings\u2026", ",", MenuAction::settings, true},
  };
  if (facts.placed) items.push_back({"Move Back to the Notch", "", MenuAction::home, true});
  if (facts.clearable) items.push_back({"Clear Finished", "", MenuAction::clear, true});
  items.push_back(separator);
  items.push_back({facts.hooksInstalled ? "Disconnect Claude Code" : "Connect Claude Code", "",
                   MenuAction::hooks, true});
  if (facts.cursorAvailable)
    items.push_back({facts.cursorInstalled ? "Disconnect Cursor" : "Connect Cursor", "",
                     MenuAction::cursor, true});
  items.push_back({"Show Walkthrough", "", MenuAction::tour, true});
  items.push_back({"Check for Updates\u2026", "", MenuAction::updates, true});
  items.push_back(separator);
  items.push_back({"Quit Talvane", "q", MenuAction::quit, true});
  return items;
}

std::string faceSvg(const std::string& fill) {
  // Drawn with the origin at the bottom left, so every y below is 18 - (y + height).
  return "<svg xmlns='http://www.w3.org/2000/svg' width='18' height='18' viewBox='0 0 18 18'>"
         "<defs><mask id='eyes'><rect width='18' height='18' fill='white'/>"
         "<ellipse cx='6.7' cy='10' rx='1.1' ry='1.4' fill='black'/>"
         "<ellipse cx='11.3' cy='10' rx='1.1' ry='1.4' fill='black'/></mask></defs>"
         "<g fill='" +
         fill +
         "' mask='url(#eyes)'>"
         "<rect x='2' y='5' width='14' height='11' rx='5.5'/>"
         "<ellipse cx='6.9' cy='4.8' rx='1.3' ry='1.6'/>"
         "<ellipse cx='9.1' cy='3.8' rx='1.4' ry='1.8'/>"
         "<ellipse cx='11.25' cy='4.7' rx='1.25' ry='1.5'/></g></svg>\n";
}

}  // namespace talvane::StatusMenu

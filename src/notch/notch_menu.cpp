// The status menu's view of the panel, and what each of its items does.
#include "app/prefs.h"
#include "notch/notch_controller.h"

namespace talvane {

MenuFacts NotchController::menuFacts() const {
  MenuFacts facts;
  facts.version = TALVANE_VERSION;
  const auto visible = hub_.visible();
  facts.visibleSessions = visible.size();
  facts.queuedSessions = hub_.queue().size();
  facts.placed = desktop_.panel.geometry().away;
  const Date now = loop_.now();
  for (const Session* s : visible) {
    const Mood mood = s->shownMood(now);
    facts.clearable |= !s->pending && (mood == Mood::idle || mood == Mood::done);
  }
  const Json settings = Prefs::json();
  facts.hooksInstalled = settings.value("hooksInstalled", false);
  facts.cursorAvailable = settings.value("cursorAvailable", false);
  facts.cursorInstalled = settings.value("cursorInstalled", false);
  return facts;
}

void NotchController::perform(MenuAction action) {
  switch (action) {
    case MenuAction::none:
      break;
    case MenuAction::open:
      // The pointer is on the tray, not the panel: opened as the open hot key does, or hover
      // would close it at once.
      if (!(hub_.isOpen() && holds_.count("keys"))) summon();
      break;
    case MenuAction::settings:
      open();
      openSettings();
      break;
    case MenuAction::home:
      desktop_.panel.resetPosition();
      break;
    case MenuAction::clear:
      hub_.clearFinished();
      break;
    case MenuAction::hooks:
    case MenuAction::cursor: {
      // Installer errors are the installers' to report; the state pushed shows what is true.
      const char* key = action == MenuAction::hooks ? "hooksInstalled" : "cursorInstalled";
      Prefs::set(key, !Prefs::json().value(key, false));
      push();
      break;
    }
    case MenuAction::tour:
      tour();
      break;
    case MenuAction::updates:
      desktop_.shell.checkUpdates();
      break;
    case MenuAction::quit:
      desktop_.shell.quit();
      break;
  }
}

}  // namespace talvane

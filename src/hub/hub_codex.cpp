// The store operations the Codex watcher feeds: Codex has no hooks, so its sessions only
// change through these.

#include "hub/hub.h"

namespace talvane {

namespace {

// A turn this short finishes before anyone looks: the page highlights it for a moment.
constexpr double kShortTurn = 15.0;
constexpr double kFlashFor = 3.2;

}  // namespace

void Hub::codex(const std::string& id, const std::string& cwd,
                const std::function<void(Session&)>& update) {
  Session s = session("codex:" + id, Agent::codex, cwd);
  const Mood before = s.mood;
  update(s);
  const Date now = loop_.now();
  if (s.mood == Mood::working) {
    untuck(s.id);
  } else if (before == Mood::working && s.mood == Mood::done && s.turnStarted &&
             now - *s.turnStarted < kShortTurn) {
    flash_ = Flash{s.id, now + kFlashFor};
  }
  store(s);
}

void Hub::removeSession(const std::string& id) {
  if (Session* s = findMutable(id)) {
    Session copy = *s;
    clearPending(copy);
  }
  removeSessions([&](const Session& s) { return s.id == id; });
  changed();
}

}  // namespace talvane

#include "hub/hub.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <utility>

#include "context/jump_remote.h"
#include "context/jump_runner.h"
#include "hub/tool_text.h"

namespace talvane {

namespace {

constexpr double kTuckedLifetime = 86400.0;
constexpr double kSlowPassInterval = 20.0;
constexpr double kOrphanAge = 8 * 3600.0;
constexpr int kRestoreMinutesWhenNeverHidden = 480;

bool processGone(std::int32_t pid) { return ::kill(pid, 0) == -1 && errno == ESRCH; }

HubSettings withDefaults(HubSettings s) {
  if (!s.hideAfter) s.hideAfter = [] { return 120; };
  if (!s.replyWindow) s.replyWindow = [] { return 15; };
  if (!s.prefs) s.prefs = [] { return Json::object(); };
  if (!s.jump) {
    s.jump = [](const Session&, const std::function<void(std::optional<std::string>)>& done) {
      if (done) done("no way to bring windows forward");
    };
  }
  if (!s.jumpRemote) {
    auto runner = std::make_shared<Jump::Runner>();
    s.jumpRemote = [runner](const Session& session,
                            std::function<void(std::optional<std::string>)> done) {
      runner->go(Jump::RemoteTarget{session.remote.value_or(""), session.tmuxPane, session.root},
                 std::move(done));
    };
  }
  if (!s.hostName) s.hostName = [](const Session&) { return std::optional<std::string>(); };
  if (!s.processGone) s.processGone = processGone;
  if (!s.debugAnswer) {
    s.debugAnswer = []() -> std::optional<std::string> {
      const char* value = ::getenv("TALVANE_DEBUG_ANSWER");
      if (!value) return std::nullopt;
      return std::string(value);
    };
  }
  if (!s.recentTranscripts) {
    s.recentTranscripts = [](int minutes, Date now) {
      return RecentTranscripts::find(minutes, now);
    };
  }
  return s;
}

}  // namespace

Hub::Hub(EventLoop& loop, SettingsStore& store, HubSettings settings,
         std::unique_ptr<GitHub> github)
    : loop_(loop),
      store_(store),
      settings_(withDefaults(std::move(settings))),
      github_(github ? std::move(github) : std::make_unique<GitHub>(loop)),
      transcriptReads_(loop, settings_.transcriptReads) {
  lastSlowTick_ = loop_.now();
  loadTucked();
  ticker_ = loop_.every(1.0, 0.3, [this] { tick(); });
  github_->onChange = [this, alive = std::weak_ptr<char>(alive_)](
                          const std::string& root, const std::optional<PullRequest>& old,
                          const std::optional<PullRequest>& current) {
    if (alive.lock()) prChanged(root, old, current);
  };
}

Hub::~Hub() = default;

// --- store ---------------------------------------------------------------------------------

const Session* Hub::find(const std::string& id) const {
  auto it = positions_.find(id);
  return it == positions_.end() ? nullptr : &sessions_[it->second];
}

Session* Hub::findMutable(const std::string& id) {
  auto it = positions_.find(id);
  return it == positions_.end() ? nullptr : &sessions_[it->second];
}

void Hub::reindex() {
  positions_.clear();
  for (std::size_t i = 0; i < sessions_.size(); ++i) positions_.emplace(sessions_[i].id, i);
}

int Hub::colorFor() const {
  // Once all nine are seen the rest cannot change the answer: with many sessions the scan ends
  // early, which keeps a burst of new sessions from costing the square of their number.
  std::array<bool, 9> used{};
  int free = 9;
  const Date now = loop_.now();
  const int hideAfter = settings_.hideAfter();
  for (const Session& s : sessions_) {
    if (free == 0) break;
    if (s.colorIndex < 0 || s.colorIndex >= 9 || used[static_cast<std::size_t>(s.colorIndex)] ||
        !isVisible(s, now, hideAfter))
      continue;
    used[static_cast<std::size_t>(s.colorIndex)] = true;
    --free;
  }
  for (int i = 0; i < 9; ++i)
    if (!used[static_cast<std::size_t>(i)]) return i;
  return static_cast<int>(sessions_.size() % 9);
}

Session Hub::session(const std::string& id, Agent agent, const std::string& cwd) {
  if (const Session* found = find(id)) {
    Session copy = *found;
    if (copy.root.empty() && !cwd.empty()) copy.root = Session::projectRoot(cwd);
    return copy;
  }
  return Session::create(id, agent, loop_.now(), cwd, colorFor());
}

void Hub::store(const Session& session) {
  if (Session* found = findMutable(session.id)) {
    *found = session;
  } else {
    positions_.emplace(session.id, sessions_.size());
    sessions_.push_back(session);
  }
  changed();
}

void Hub::removeSessions(const std::function<bool(const Session&)>& gone) {
  if (std::erase_if(sessions_, [&](const Session& s) {
        if (!gone(s)) return false;
        lastToolUse_.erase(s.id);
        return true;
      }))
    reindex();
}

Reply Hub::takeResponder(const std::string& pendingId) {
  auto it = responders_.find(pendingId);
  if (it == responders_.end()) return nullptr;
  Reply reply = std::move(it->second);
  responders_.erase(it);
  return reply;
}

void Hub::clearPending(Session& session) {
  if (!session.pending) return;
  Reply reply = takeResponder(session.pending->id);
  session.pending.reset();
  if (reply) reply("");
}

void Hub::hold(const std::string& pendingId, Reply reply) {
  // A relay still held under the same id would otherwise wait forever.
  if (Reply older = takeResponder(pendingId)) older("");
  responders_[pendingId] = std::move(reply);
}

void Hub::hookGone(const std::string& pendingId) {
  if (!takeResponder(pendingId)) return;
  for (Session& s : sessions_) {
    if (s.pending && s.pending->id == pendingId) {
      Session copy = s;
      copy.pending.reset();
      store(copy);
      return;
    }
  }
}

void Hub::changed() {
  if (pushScheduled_) return;
  pushScheduled_ = true;
  loop_.post([this, alive = std::weak_ptr<char>(alive_)] {
    if (!alive.lock()) return;
    pushScheduled_ = false;
    if (onChange) onChange();
  });
}

void Hub::attention() {
  // The panel redraws whole when called, so a burst of requests must not call it per request.
  if (attentionScheduled_) return;
  attentionScheduled_ = true;
  loop_.post([this, alive = std::weak_ptr<char>(alive_)] {
    if (!alive.lock()) return;
    attentionScheduled_ = false;
    if (onAttention) onAttention();
  });
}

void Hub::setSelected(std::optional<std::string> id) { selected_ = std::move(id); }

void Hub::setFlash(const std::string& id, Date until) { flash_ = Flash{id, until}; }

void Hub::setOpen(bool open) {
  if (open == isOpen_) return;
  isOpen_ = open;
  changed();
}

void Hub::later(double seconds, std::function<void()> fn) {
  const std::uint64_t key = nextTimer_++;
  timers_[key] = loop_.after(seconds, [this, key, fn = std::move(fn)] {
    // Keep the handle until the task is done; dropping it afterwards is harmless.
    auto handle = timers_.extract(key);
    fn();
  });
}

// --- tucked --------------------------------------------------------------------------------

void Hub::loadTucked() {
  const auto value = store_.get("tucked");
  if (!value || !value->is_object()) return;
  const Date now = loop_.now();
  bool dropped = false;
  for (const auto& [id, time] : value->items()) {
    if (!time.is_number() || now - time.get<double>() >= kTuckedLifetime) {
      dropped = true;
      continue;
    }
    tucked_[id] = time.get<double>();
  }
  if (dropped) saveTucked();
}

void Hub::saveTucked() {
  Json map = Json::object();
  for (const auto& [id, time] : tucked_) map[id] = time;
  store_.set("tucked", map);
}

void Hub::untuck(const std::string& id) {
  if (tucked_.erase(id)) saveTucked();
}

// --- user operations -----------------------------------------------------------------------

void Hub::select(const std::string& id) {
  selected_ = id;
  changed();
}

void Hub::dismiss(const std::string& id) {
  if (const Session* found = find(id)) {
    Session s = *found;
    clearPending(s);
    store(s);
  }
  tucked_[id] = loop_.now();
  saveTucked();
  changed();
}

void Hub::engage(const std::string& id) {
  const Session* found = find(id);
  if (!found || !found->pending) return;
  Session s = *found;
  s.pending->engaged = true;
  store(s);
}

void Hub::release(const std::string& id) {
  const Session* found = find(id);
  if (!found) return;
  Session s = *found;
  // The agent now asks in its own window, so the session still waits for the user.
  if (s.pending && (s.pending->isPermission() || s.pending->isQuestions())) s.mood = Mood::waiting;
  clearPending(s);
  store(s);
}

void Hub::answerThere(const std::string& id) {
  release(id);
  jump(id);
}

void Hub::jump(const std::string& id, std::function<void(std::optional<std::string>)> done) {
  if (const Session* s = find(id)) {
    (s->remote ? settings_.jumpRemote : settings_.jump)(*s, std::move(done));
  } else if (done) {
    done("no session " + id);
  }
}

std::vector<std::string> Hub::idsMatching(const std::string& text) const {
  if (text.empty()) return {};
  if (find(text)) return {text};
  std::vector<std::string> ids;
  for (const Session& s : sessions_) {
    const auto colon = s.id.find(':');
    if ((colon != std::string::npos && s.id.compare(colon + 1, std::string::npos, text) == 0) ||
        (s.remote && s.conversation() == text))
      ids.push_back(s.id);
  }
  return ids;
}

void Hub::clearFinished() {
  const Date now = loop_.now();
  std::vector<Session> finished;
  for (const Session* s : visible()) {
    const Mood mood = s->shownMood(now);
    if (!s->pending && (mood == Mood::idle || mood == Mood::done)) finished.push_back(*s);
  }
  if (finished.empty()) return;
  for (const Session& s : finished) tucked_[s.id] = now;
  cleared_ = std::move(finished);
  saveTucked();
  changed();
}

void Hub::undoClear() {
  bool untucked = false;
  for (const Session& s : cleared_) untucked |= tucked_.erase(s.id) > 0;
  if (untucked) saveTucked();
  cleared_.clear();
  changed();
}

// --- derived views -------------------------------------------------------------------------

bool Hub::isVisible(const Session& s, Date now, int hideAfter) const {
  if (tucked_.count(s.id)) return false;
  // A negative setting is as good as "never": it cannot mean hiding everything.
  return s.pending || hideAfter <= 0 || now - s.updated < hideAfter * 60.0 ||
         s.shownMood(now) == Mood::working;
}

std::vector<const Session*> Hub::visible() const {
  const Date now = loop_.now();
  const int hideAfter = settings_.hideAfter();
  std::vector<const Session*> out;
  out.reserve(sessions_.size());
  for (const Session& s : sessions_)
    if (isVisible(s, now, hideAfter)) out.push_back(&s);
  return out;
}

std::vector<const Session*> Hub::queue() const {
  std::vector<const Session*> out;
  for (const Session& s : sessions_)
    if (s.pending) out.push_back(&s);
  std::stable_sort(out.begin(), out.end(), [](const Session* a, const Session* b) {
    return a->pending->since < b->pending->since;
  });
  return out;
}

const Session* Hub::focus() const { return focus(visible(), loop_.now()); }

const Session* Hub::focus(const std::vector<const Session*>& shown, Date now) {
  const Session* best = nullptr;
  Mood bestMood = Mood::idle;
  for (const Session* s : shown) {
    const Mood mood = s->shownMood(now);
    if (!best || mood > bestMood || (mood == bestMood && s->updated > best->updated)) {
      best = s;
      bestMood = mood;
    }
  }
  return best;
}

const Session* Hub::effectiveSelection() const {
  if (selected_) {
    for (const Session* s : visible())
      if (s->id == *selected_) return s;
  }
  const auto waiting = queue();
  if (!waiting.empty()) return waiting.front();
  return focus();
}

// --- tick ----------------------------------------------------------------------------------

void Hub::tick() {
  const Date now = loop_.now();

  std::vector<std::string> expired;
  for (const Session& s : sessions_) {
    if (!s.pending || s.pending->engaged) continue;
    if (const auto* offer = s.pending->reply(); offer && offer->expires <= now)
      expired.push_back(s.id);
  }
  for (const std::string& id : expired) release(id);

  if (flash_ && flash_->until <= now) {
    flash_.reset();
    changed();
  }
  if (prNews_ && prNews_->until <= now) {
    prNews_.reset();
    changed();
  }

  std::vector<std::string> roots;
  // A remote session's folder is on its machine: no local repository to ask about.
  for (const Session* s : visible())
    if (!s->remote) roots.push_back(s->root);
  github_->refresh(roots, false);

  if (now - lastSlowTick_ > kSlowPassInterval) {
    lastSlowTick_ = now;
    removeSessions([&](const Session& s) {
      if (s.agent != Agent::claude || s.pending) return false;
      // Zero and negative ids would probe process groups, not the agent; a remote session's
      // process id is one on its own machine.
      if (!s.remote && s.agentPid && *s.agentPid > 0) return settings_.processGone(*s.agentPid);
      return now - s.updated > kOrphanAge;
    });
    changed();
  }
}

// --- pull-request news ---------------------------------------------------------------------

void Hub::prChanged(const std::string& root, const std::optional<PullRequest>& old,
                    const std::optional<PullRequest>& current) {
  const Session* session = nullptr;
  if (current) {
    for (const Session* s : visible()) {
      if (!s->remote && s->root == root) {
        session = s;
        break;
      }
    }
  }
  if (session) {
    const Date now = loop_.now();
    if (current->state == "merged" && old && old->state != "merged") {
      prNews_ = PrNews{session->id, "merged", now + 8.0};
    } else if (current->failed > 0 &&
               ((old && old->failed == 0) || (!old && current->running == 0))) {
      prNews_ = PrNews{session->id, "failing", now + 20.0};
      attention();
    }
  }
  changed();
}

// --- restoring -----------------------------------------------------------------------------

void Hub::restoreRecent() {
  const int hideAfter = settings_.hideAfter();
  const int minutes = hideAfter > 0 ? hideAfter : kRestoreMinutesWhenNeverHidden;
  // Listing the projects and reading whole transcripts would hold the loop up at startup.
  struct Read {
    std::vector<RecentTranscript> recent;
    TranscriptReader reader;
  };
  transcriptReads_.run(
      [list = settings_.recentTranscripts, minutes, now = loop_.now()] {
        Read read{list(minutes, now), TranscriptReader()};
        for (const RecentTranscript& recent : read.recent) read.reader.update(recent.path);
        return read;
      },
      [this](Read read) {
        transcripts_.adopt(std::move(read.reader));
        // What was appended while the first reads ran counts too: a turn that ended meanwhile
        // comes back done.
        std::vector<std::string> paths;
        for (const RecentTranscript& recent : read.recent) paths.push_back(recent.path);
        readTranscriptPasses(paths, [this, recent = std::move(read.recent)] { restore(recent); });
      });
}

void Hub::restore(const std::vector<RecentTranscript>& recents) {
  const Date now = loop_.now();
  for (const RecentTranscript& recent : recents) {
    const std::string id = "claude:" + recent.id;
    // Known by now (an event came while the transcripts were read): the events tell more.
    if (find(id)) continue;
    // Hidden after its last activity: it stays hidden.
    if (auto it = tucked_.find(id); it != tucked_.end() && recent.modified <= it->second + 5.0)
      continue;
    const TranscriptStats* read = transcripts_.stats(recent.path);
    if (!read || !read->cwd || read->cwd->empty() || !read->model) continue;
    const TranscriptStats stats = *read;

    Session s = session(id, Agent::claude, *stats.cwd);
    s.transcript = recent.path;
    s.stats = stats;
    s.updated = recent.modified;
    if (stats.lastPrompt) s.title = ToolText::headline(*stats.lastPrompt);
    if (now - recent.modified < 45.0)
      s.mood = stats.endedTurn ? Mood::done : Mood::working;
    else
      s.mood = stats.endedTurn ? Mood::done : Mood::idle;
    if (stats.endedTurn) s.finishedAt = recent.modified;
    store(s);
  }
}

}  // namespace talvane

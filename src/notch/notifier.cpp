#include "notch/notifier.h"

#include <string_view>
#include <vector>

namespace talvane {

namespace NP = NotificationPlan;

namespace {

// The request id an answering action carries after its prefix.
std::optional<std::string> after(std::string_view action, std::string_view prefix) {
  if (!action.starts_with(prefix)) return std::nullopt;
  return std::string(action.substr(prefix.size()));
}

}  // namespace

Notifier::Notifier(Hub& hub, EventLoop& loop, NotificationServer* server, SoundPlayer* sound,
                   NotifierSettings settings)
    : hub_(hub),
      loop_(loop),
      server_(server),
      sound_(sound),
      settings_(std::move(settings)),
      since_(loop.now()) {
  if (!settings_.level) settings_.level = [] { return NotifyLevel::requests; };
  if (!settings_.sound) settings_.sound = [] { return true; };
  if (!settings_.openPanel) settings_.openPanel = [](const std::string&) {};
  if (!server_) return;
  server_->onAction = [this](const std::string& tag, const std::string& action) {
    act(tag, action);
  };
  server_->onReply = [this](const std::string& tag, const std::string& text) {
    replied(tag, text);
  };
  server_->onClosed = [this](const std::string& tag) { closedByServer(tag); };
  server_->onChanged = [this] { changed(); };
}

Notifier::~Notifier() {
  if (!server_) return;
  server_->onAction = nullptr;
  server_->onReply = nullptr;
  server_->onClosed = nullptr;
  server_->onChanged = nullptr;
}

void Notifier::changed() {
  if (scheduled_) return;
  scheduled_ = true;
  loop_.post([this, alive = std::weak_ptr<char>(alive_)] {
    if (alive.expired()) return;
    scheduled_ = false;
    update();
  });
}

void Notifier::update() {
  const Date now = loop_.now();
  std::set<std::string> present;
  for (NP::Entry& e : NP::plan(planInput(now))) {
    present.insert(e.session);
    apply(e, now);
  }
  std::vector<std::string> gone;
  for (const auto& [tag, _] : shown_)
    if (!present.count(tag)) gone.push_back(tag);
  for (const auto& tag : gone) close(tag);
  std::erase_if(subjects_, [&](const auto& item) { return !present.count(item.first); });
  std::erase_if(requests_, [&](const auto& item) { return !present.count(item.first); });
  std::erase_if(quiet_, [&](const std::string& tag) { return !present.count(tag); });
  updateAttention();
}

NotificationPlan::Input Notifier::planInput(Date now) const {
  NP::Input in;
  in.sessions = &hub_.sessions();
  if (const auto& news = hub_.prNews(); news && news->until > now)
    in.prNews = NP::Input::News{news->id, news->kind};
  in.now = now;
  in.since = since_;
  const bool served = server_ && server_->available();
  in.level = served ? settings_.level() : NotifyLevel::off;
  in.sound = settings_.sound();
  if (served) in.caps = server_->capabilities();
  if (hub_.isOpen()) {
    if (const Session* s = hub_.effectiveSelection()) in.panelOn = s->id;
  }
  in.hostFocused = settings_.hostFocused;
  return in;
}

void Notifier::apply(NotificationPlan::Entry& e, Date now) {
  const std::string tag = e.session;
  requests_[tag] = e.pendingId;
  std::string& subject = subjects_[tag];
  if (subject != e.subject) {
    subject = e.subject;
    quiet_.erase(tag);
    if (!e.looking && !e.sound.empty() && sound_ && now - lastSound_ >= kSoundGap) {
      lastSound_ = now;
      sound_->play(e.sound);
    }
  }
  // What the user has seen in the panel or the terminal does not come back as a notification.
  if (e.looking) quiet_.insert(tag);
  if (!e.show || quiet_.count(tag)) {
    close(tag);
    return;
  }
  auto shown = shown_.find(tag);
  if (shown != shown_.end() && shown->second.entry.subject == e.subject &&
      shown->second.entry.notice == e.notice)
    return;
  if (shown != shown_.end() && now - shown->second.at < kReplaceGap) {
    Wait& wait = waits_[tag];
    if (!wait.timer || wait.due <= now) {
      wait.due = shown->second.at + kReplaceGap;
      wait.timer = loop_.after(wait.due - now, [this] { changed(); });
    }
    return;
  }
  server_->show(tag, e.notice);
  shown_[tag] = Shown{std::move(e), now};
  waits_.erase(tag);
}

void Notifier::close(const std::string& session) {
  auto shown = shown_.find(session);
  if (shown == shown_.end()) return;
  shown_.erase(shown);
  waits_.erase(session);
  server_->close(session);
}

void Notifier::updateAttention() {
  const bool now = NP::attention(hub_.sessions());
  if (now == attention_) return;
  attention_ = now;
  if (onAttention) onAttention(now);
}

void Notifier::act(const std::string& session, const std::string& action) {
  if (action == NP::kOpen) {
    settings_.openPanel(session);
  } else if (auto id = after(action, NP::kAllow)) {
    hub_.decide(session, "allow", std::nullopt, *id);
  } else if (auto id = after(action, NP::kDeny)) {
    hub_.decide(session, "deny", std::nullopt, *id);
  } else {
    // "Answer" and "Reply" open the panel on the request they were shown for, if it still waits.
    auto shownFor = after(action, NP::kAnswer);
    if (!shownFor) shownFor = after(action, NP::kReply);
    const Session* s = hub_.find(session);
    if (shownFor && s && s->pending && s->pending->id == *shownFor) settings_.openPanel(session);
  }
  changed();
}

void Notifier::replied(const std::string& session, const std::string& text) {
  // The text answers the reply offer the notification showed, not a later request.
  const Session* s = hub_.find(session);
  auto shown = requests_.find(session);
  if (!s || !s->pending || !s->pending->isReply() || shown == requests_.end() ||
      shown->second != s->pending->id)
    return;
  hub_.sendReply(session, text);
  changed();
}

void Notifier::closedByServer(const std::string& session) {
  // Dismissed, expired, or gone after an action: the same subject is not shown again.
  if (shown_.erase(session)) quiet_.insert(session);
  waits_.erase(session);
  changed();
}

}  // namespace talvane

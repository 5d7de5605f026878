#include "notch/notification_plan.h"

#include <cstdio>
#include <utility>

#include "hub/tool_text.h"

namespace talvane {

namespace {

// The longest body line; servers wrap or cut what is longer anyway.
constexpr int kBodyLength = 120;

// The panel's two lines of a permission request as one: "Wants to run: make test".
std::string permissionLine(const Pending::Permission& p) {
  if (p.detail.empty()) return p.title;
  const bool asks = !p.title.empty() && p.title.back() == '?';
  return p.title + (asks ? " " : ": ") + p.detail;
}

std::string line(std::string_view text, const NotificationCapabilities& caps) {
  std::string shortened = ToolText::shortText(text, kBodyLength);
  return caps.bodyMarkup ? NotificationPlan::escapeMarkup(shortened) : shortened;
}

std::string stamp(Date time) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f", time);
  return buffer;
}

bool isRequest(const Pending& p) { return !p.isReply(); }

}  // namespace

std::optional<NotifyLevel> notifyLevelFrom(std::string_view name) {
  if (name == "off") return NotifyLevel::off;
  if (name == "requests") return NotifyLevel::requests;
  if (name == "all") return NotifyLevel::everything;
  return std::nullopt;
}

std::string_view notifyLevelName(NotifyLevel level) {
  switch (level) {
    case NotifyLevel::off:
      return "off";
    case NotifyLevel::requests:
      return "requests";
    case NotifyLevel::everything:
      return "all";
  }
  return "requests";
}

namespace NotificationPlan {

std::string title(const Session& s) {
  return projectName(s.root) + " · " + std::string(displayName(s.agent));
}

std::string escapeMarkup(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool attention(const std::vector<Session>& sessions) {
  for (const Session& s : sessions)
    if (s.pending && isRequest(*s.pending)) return true;
  return false;
}

namespace {

// What the notice says of a pending request, and the buttons that answer it.
void describeRequest(Notice& n, const Pending& p, const NotificationCapabilities& caps) {
  if (const auto* permission = p.permission()) {
    n.body = line(permissionLine(*permission), caps);
    n.actions.emplace_back(std::string(kAllow) + p.id, "Allow");
    n.actions.emplace_back(std::string(kDeny) + p.id, "Deny");
  } else if (const auto* asked = p.questions()) {
    n.body = line(asked->questions.empty() ? "A question for you" : asked->questions[0].text, caps);
    n.actions.emplace_back(std::string(kAnswer) + p.id, "Answer");
  } else if (const auto* offer = p.reply()) {
    n.body = line(offer->lastMessage.empty() ? "Finished" : offer->lastMessage, caps);
    if (caps.inlineReply)
      n.actions.emplace_back(kInlineReply, "Reply");
    else
      n.actions.emplace_back(std::string(kReply) + p.id, "Reply");
  } else if (const auto* note = p.elsewhere()) {
    n.body = line(note->text, caps);
  }
}

// How the notice stays and sounds: a request or news, with sounds on or off, by a server that
// can play them or not.
void deliverAs(Entry& e, bool request, bool soundOn, bool serverSounds) {
  Notice& n = e.notice;
  n.category = request ? "im.received" : "x-talvane.news";
  n.urgency = request ? 1 : 0;
  // A request stays until it is answered somewhere; news goes by itself.
  n.expireSeconds = request ? 0 : -1;
  // A server that plays sounds does it within its do-not-disturb rules; else the app plays.
  if (soundOn && e.show && serverSounds) {
    n.soundName = std::exchange(e.sound, {});
  } else {
    n.suppressSound = true;
    if (!soundOn) e.sound.clear();
  }
}

}  // namespace

std::vector<Entry> plan(const Input& in) {
  std::vector<Entry> out;
  if (!in.sessions) return out;
  const NotificationCapabilities& caps = in.caps;
  for (const Session& s : *in.sessions) {
    Entry e;
    e.session = s.id;
    Notice& n = e.notice;
    n.title = title(s);
    n.actions.emplace_back(kOpen, "Open");
    bool wanted = false;
    bool request = true;
    if (s.pending) {
      const Pending& p = *s.pending;
      e.subject = e.pendingId = p.id;
      // A reply offer and the finished turn it leaves behind are one piece of news.
      if (p.isReply() && s.finishedAt) e.subject = "done:" + stamp(*s.finishedAt);
      wanted = in.level != NotifyLevel::off;
      e.sound = p.isReply() ? kDoneSound : kRequestSound;
      describeRequest(n, p, caps);
    } else if (in.prNews && in.prNews->id == s.id) {
      request = false;
      e.subject = "pr:" + in.prNews->kind;
      wanted = in.level == NotifyLevel::everything;
      n.body = in.prNews->kind == "merged" ? "Pull request merged" : "Pull request checks failing";
    } else if (s.shownMood(in.now) == Mood::done && s.finishedAt && *s.finishedAt >= in.since) {
      request = false;
      e.subject = "done:" + stamp(*s.finishedAt);
      wanted = in.level == NotifyLevel::everything;
      n.body = line(s.headline() == "~" ? "Finished" : "Finished: " + s.headline(), caps);
      e.sound = kDoneSound;
    } else {
      continue;
    }
    e.looking = (in.panelOn && *in.panelOn == s.id) || (in.hostFocused && in.hostFocused(s));
    e.show = wanted && !e.looking;
    deliverAs(e, request, in.sound, caps.sound);
    out.push_back(std::move(e));
  }
  return out;
}

}  // namespace NotificationPlan
}  // namespace talvane

// The complete state the page draws from, rebuilt whole on every push.

#include <algorithm>

#include "context/pricing.h"
#include "hub/hub.h"

namespace talvane {

namespace {

// Objects are filled member by member: an initializer list would build a temporary array for
// every member, and the snapshot is rebuilt in full on every push.
using Object = Json::object_t;

double millis(Date date) { return date * 1000.0; }

Json statsJson(const Session& s) {
  const TranscriptStats& stats = s.stats;
  Object out;
  out.emplace("cost", stats.cost);
  if (stats.model) {
    out.emplace("model", s.agent == Agent::claude ? Pricing::label(*stats.model) : *stats.model);
    std::int64_t window = stats.contextWindow;
    if (window <= 0) {
      const auto rate = Pricing::rate(*stats.model);
      window = rate ? rate->window : 0;
    }
    if (window > 0 && stats.contextTokens > 0) {
      out.emplace("context",
                  static_cast<double>(stats.contextTokens) / static_cast<double>(window));
      out.emplace("contextTokens", stats.contextTokens);
    }
  }
  if (s.turnStarted) {
    out.emplace("turnStart", millis(*s.turnStarted));
    if (s.finishedAt && *s.finishedAt > *s.turnStarted)
      out.emplace("turnEnd", millis(*s.finishedAt));
  }
  return out;
}

Json toolsJson(const std::vector<ToolLine>& tools) {
  Json::array_t out;
  out.reserve(tools.size());
  for (const ToolLine& line : tools) {
    Object item;
    item.emplace("label", line.label);
    item.emplace("running", line.running);
    item.emplace("failed", line.failed);
    out.emplace_back(std::move(item));
  }
  return out;
}

// The four tools used most recently; equal times keep the order they were first used in.
Json tallyJson(const std::vector<ToolTally>& tally) {
  std::vector<const ToolTally*> order;
  order.reserve(tally.size());
  for (const ToolTally& t : tally) order.push_back(&t);
  std::stable_sort(order.begin(), order.end(),
                   [](const ToolTally* a, const ToolTally* b) { return a->last > b->last; });
  if (order.size() > 4) order.resize(4);
  Json::array_t out;
  out.reserve(order.size());
  for (const ToolTally* t : order) {
    Object item;
    item.emplace("tool", t->tool);
    item.emplace("detail", t->detail);
    item.emplace("count", t->count);
    item.emplace("kind", t->kind);
    out.emplace_back(std::move(item));
  }
  return out;
}

Json questionsJson(const std::vector<Question>& questions) {
  Json::array_t out;
  for (const Question& q : questions) {
    Json::array_t options;
    for (const auto& option : q.options) {
      Object item;
      item.emplace("label", option.label);
      item.emplace("detail", option.detail);
      options.emplace_back(std::move(item));
    }
    Object item;
    item.emplace("header", q.header);
    item.emplace("text", q.text);
    item.emplace("multi", q.multi);
    item.emplace("options", std::move(options));
    out.emplace_back(std::move(item));
  }
  return out;
}

}  // namespace

Json Hub::sessionJson(const Session& s) const { return sessionJson(s, loop_.now()); }

Json Hub::sessionJson(const Session& s, Date now) const {
  Object out;
  out.emplace("id", s.id);
  out.emplace("agent", rawValue(s.agent));
  out.emplace("color", s.colorIndex);
  out.emplace("title", s.headline());
  out.emplace("project", projectName(s.root));
  out.emplace("mood", moodName(s.shownMood(now)));
  out.emplace("activity", s.activity);
  out.emplace("updated", millis(s.updated));
  out.emplace("tools", toolsJson(s.tools));
  out.emplace("phase", s.phase);
  out.emplace("turnCalls", s.turnCalls);
  out.emplace("tally", tallyJson(s.tally));
  out.emplace("family", s.family());
  out.emplace("pose", s.pose(now));
  out.emplace("stats", statsJson(s));
  if (s.stats.branch) out.emplace("branch", *s.stats.branch);
  if (auto host = settings_.hostName(s)) out.emplace("host", std::move(*host));
  if (s.remote) {
    out.emplace("remote", *s.remote);
    out.emplace("machine", s.machine.value_or(*s.remote));
  }

  if (s.pending) {
    const Pending& p = *s.pending;
    Object pending;
    pending.emplace("id", p.id);
    pending.emplace("engaged", p.engaged);
    pending.emplace("since", millis(p.since));
    if (const auto* permission = p.permission()) {
      pending.emplace("kind", "permission");
      pending.emplace("title", permission->title);
      pending.emplace("detail", permission->detail);
      pending.emplace("tool", permission->tool);
    } else if (const auto* asked = p.questions()) {
      pending.emplace("kind", "question");
      pending.emplace("questions", questionsJson(asked->questions));
    } else if (const auto* offer = p.reply()) {
      pending.emplace("kind", "reply");
      pending.emplace("message", offer->lastMessage);
      pending.emplace("expires", millis(offer->expires));
      pending.emplace("window", settings_.replyWindow() * 1000.0);
    } else if (const auto* note = p.elsewhere()) {
      pending.emplace("kind", "elsewhere");
      pending.emplace("title", note->text);
    }
    out.emplace("pending", std::move(pending));
  }
  return out;
}

Json Hub::snapshot() {
  const Date now = loop_.now();
  const auto shown = visible();
  const auto waiting = queue();
  const auto& prs = github_->prs();

  Json::array_t sessions;
  sessions.reserve(shown.size());
  for (const Session* s : shown) {
    Json item = sessionJson(*s, now);
    if (auto pr = prs.find(s->root); !s->remote && pr != prs.end())
      item.get_ref<Object&>().emplace("pr", pr->second.json());
    sessions.push_back(std::move(item));
  }
  Json::array_t queueIds;
  for (const Session* s : waiting) queueIds.emplace_back(s->id);

  const Session* focused = focus(shown, now);
  const Session* selection = nullptr;
  if (selected_) {
    for (const Session* s : shown)
      if (s->id == *selected_) selection = s;
  }
  if (!selection) selection = waiting.empty() ? focused : waiting.front();

  Object out;
  out.emplace("open", isOpen_);
  out.emplace("sessions", std::move(sessions));
  out.emplace("selected", selection ? Json(selection->id) : Json(nullptr));
  out.emplace("focus", focused ? Json(focused->id) : Json(nullptr));
  out.emplace("queue", std::move(queueIds));
  out.emplace("canUndo", !cleared_.empty());
  out.emplace("settings", settings_.prefs());
  out.emplace("now", millis(now));

  const Date deadline = loop_.now();
  if (flash_ && flash_->until > deadline) out.emplace("flash", flash_->id);
  if (prNews_ && prNews_->until > deadline) {
    Object news;
    news.emplace("id", prNews_->id);
    news.emplace("kind", prNews_->kind);
    out.emplace("prNews", std::move(news));
  }
  return out;
}

}  // namespace talvane

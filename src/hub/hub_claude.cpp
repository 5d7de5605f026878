// Claude Code hook events, and the form every other agent's events are translated into.

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <random>

#include "hub/hub.h"
#include "hub/tool_text.h"

namespace talvane {

namespace {

// Upper-case hexadecimal with hyphens, version 4.
std::string freshUuid() {
  static std::mt19937_64 generator{std::random_device{}()};
  std::uint64_t high = generator();
  std::uint64_t low = generator();
  high = (high & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;
  low = (low & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;
  char text[37];
  std::snprintf(text, sizeof text,
                "%08" PRIX64 "-%04" PRIX64 "-%04" PRIX64 "-%04" PRIX64 "-%012" PRIX64, high >> 32,
                (high >> 16) & 0xFFFF, high & 0xFFFF, low >> 48,
                low & std::uint64_t{0xFFFFFFFFFFFF});
  return text;
}

std::optional<std::int32_t> processId(const Json& host, std::string_view key) {
  const auto value = json::integer(host, key);
  if (!value || *value < INT32_MIN || *value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(*value);
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// What the machine that ran the hook says of where the session lives.
void applyHost(Session& s, const Json& payload, const std::optional<std::string>& remote,
               const std::string& cwd) {
  const Json* host = json::object(payload, "_host");
  if (remote) {
    s.remote = remote;
    if (s.root.empty()) s.root = cwd;
    if (host) {
      if (auto machine = json::nonEmpty(*host, "machine")) s.machine = machine;
      if (auto pane = json::nonEmpty(*host, "tmuxPane")) s.tmuxPane = pane;
    }
  } else if (host) {
    if (auto pid = processId(*host, "pid")) s.hostPid = pid;
    if (auto bundle = json::string(*host, "bundle")) s.hostBundle = bundle;
    if (auto tty = json::string(*host, "tty")) s.tty = tty;
    if (auto pid = processId(*host, "agentPid")) s.agentPid = pid;
  }
}

}  // namespace

struct Hub::ClaudeTool {
  std::string tool;
  Json input;
  bool subagent;
  // An empty id would match every request by its suffix.
  std::optional<std::string> useId;

  explicit ClaudeTool(const Json& payload)
      : tool(json::string(payload, "tool_name").value_or("")),
        input(json::object(payload, "tool_input") ? *json::object(payload, "tool_input")
                                                  : Json::object()),
        subagent(json::member(payload, "agent_id") != nullptr),
        useId(json::nonEmpty(payload, "tool_use_id")) {}
};

std::optional<std::string> Hub::claude(const Json& payload, Reply reply) {
  if (!reply) reply = [](const std::string&) {};
  const auto conversation = json::string(payload, "session_id");
  const auto event = json::string(payload, "hook_event_name");
  if (!conversation || !event) {
    reply("");
    return std::nullopt;
  }
  Agent agent = Agent::claude;
  if (auto raw = json::string(payload, "_agent"))
    if (auto known = agentFromRaw(*raw)) agent = *known;
  // Set by the bridge for a payload that came through a remote host's forward.
  const auto remote = json::nonEmpty(payload, "_remote");
  const std::string id = Session::key(agent, *conversation, remote.value_or(""));
  const std::string cwd = json::string(payload, "cwd").value_or("");

  // A remote folder is no path here: looking for its project root would read this machine's.
  Session s = session(id, agent, remote ? std::string() : cwd);
  untuck(id);
  applyHost(s, payload, remote, cwd);
  // The transcript of a remote session is a file on that machine.
  if (auto path = json::string(payload, "transcript_path"); path && !remote) {
    s.transcript = *path;
    readTranscript(s, *path);
  }
  const Date now = loop_.now();
  s.updated = now;

  const std::string& name = *event;
  if (name == "SessionStart") {
    if (s.mood != Mood::working) s.mood = Mood::idle;
  } else if (name == "UserPromptSubmit") {
    claudePrompt(s, payload, now);
  } else if (name == "PreToolUse") {
    claudeToolStarted(s, ClaudeTool(payload), now);
  } else if (name == "PostToolUse" || name == "PostToolUseFailure") {
    claudeToolEnded(s, ClaudeTool(payload), name == "PostToolUseFailure");
  } else if (name == "PermissionRequest") {
    const ClaudeTool call(payload);
    return claudePermission(s, payload, call.tool, call.input, reply);
  } else if (name == "Notification") {
    if (claudeNotification(s, payload, now)) {
      reply("");
      return std::nullopt;
    }
  } else if (name == "Stop") {
    return claudeStop(s, payload, reply);
  } else if (name == "PreCompact") {
    s.activity = "Compacting";
  } else if (name == "SessionEnd") {
    clearPending(s);
    removeSessions([&](const Session& other) { return other.id == id; });
    changed();
    reply("");
    return std::nullopt;
  }

  store(s);
  reply("");
  return std::nullopt;
}

void Hub::claudePrompt(Session& s, const Json& payload, Date now) {
  clearPending(s);
  lastToolUse_.erase(s.id);
  s.title = ToolText::headline(json::string(payload, "prompt").value_or(""));
  s.mood = Mood::working;
  s.activity = "Thinking";
  s.tally.clear();
  s.turnCalls = 0;
  s.phase = "reasoning";
  s.tools.clear();
  s.turnStarted = now;
  s.finishedAt.reset();
}

void Hub::claudeToolStarted(Session& s, const ClaudeTool& call, Date now) {
  if (!call.subagent) {
    if (call.useId) lastToolUse_[s.id] = ToolUse{*call.useId, call.tool, call.input};
    if (call.tool != "AskUserQuestion") {
      std::string label = ToolText::activity(call.tool, call.input);
      s.activity = label;
      s.pushTool(std::move(label));
      s.countTool(call.tool, call.input, now);
    }
  }
  s.mood = Mood::working;
  if (!s.turnStarted) s.turnStarted = now;
}

void Hub::claudeToolEnded(Session& s, const ClaudeTool& call, bool failed) {
  if (!call.subagent) s.finishTools(failed);
  if (s.pending && s.pending->isElsewhere()) clearPending(s);
  // Answered in the agent's own window.
  if (call.useId && s.pending && endsWith(s.pending->id, *call.useId)) clearPending(s);
  if (call.useId) {
    if (auto it = lastToolUse_.find(s.id); it != lastToolUse_.end() && it->second.id == *call.useId)
      lastToolUse_.erase(it);
  }
  if (!s.pending) s.mood = Mood::working;
}

bool Hub::claudeNotification(Session& s, const Json& payload, Date now) {
  const std::string type = json::string(payload, "notification_type").value_or("");
  const bool asks =
      type == "permission_prompt" || type == "elicitation_dialog" || type == "agent_needs_input";
  if (!asks || s.pending) return false;
  const std::string message = json::string(payload, "message").value_or("");
  Pending note;
  note.id = s.id + ":note";
  note.kind = Pending::Elsewhere{message.empty() ? "Needs your input" : message};
  note.since = now;
  s.pending = std::move(note);
  s.mood = Mood::waiting;
  store(s);
  attention();
  return true;
}

std::optional<std::string> Hub::claudePermission(Session& s, const Json& payload,
                                                 const std::string& tool, const Json& input,
                                                 Reply& reply) {
  // Claude Code leaves "tool_use_id" out of permission requests, but announces the same call
  // just before with "PreToolUse". Naming the request after that call lets its "PostToolUse"
  // end the request when the user answered in the terminal, which releases the relay.
  std::string suffix;
  if (auto toolUseId = json::nonEmpty(payload, "tool_use_id")) {
    suffix = *toolUseId;
  } else if (auto it = lastToolUse_.find(s.id);
             it != lastToolUse_.end() && it->second.tool == tool && it->second.input == input) {
    suffix = it->second.id;
  } else {
    suffix = freshUuid();
  }
  const std::string pendingId = s.id + ":" + suffix;

  clearPending(s);
  Pending request;
  request.id = pendingId;
  if (tool == "AskUserQuestion") {
    request.kind = Pending::Questions{ToolText::questions(input)};
  } else {
    auto text = ToolText::permission(tool, input);
    request.kind = Pending::Permission{std::move(text.title), std::move(text.detail), tool};
  }
  request.toolInput = input;
  request.since = loop_.now();
  s.pending = std::move(request);
  hold(pendingId, std::move(reply));
  s.mood = Mood::waiting;
  selected_ = s.id;

  store(s);
  attention();
  autoAnswerForTests(s);
  return pendingId;
}

std::optional<std::string> Hub::claudeStop(Session& s, const Json& payload, Reply& reply) {
  const Date now = loop_.now();
  clearPending(s);
  lastToolUse_.erase(s.id);
  s.finishTools(false);
  s.mood = Mood::done;
  s.finishedAt = now;

  const std::string message =
      ToolText::trimWhite(json::string(payload, "last_assistant_message").value_or(""));
  s.activity = message.empty() ? "Finished" : ToolText::shortText(message, 90);
  flash_ = Flash{s.id, now + 3.2};

  // The turn may have pushed commits; checks start a little later.
  for (const double delay : {4.0, 30.0}) {
    later(delay, [this, root = s.root] { github_->refresh({root}, true); });
  }

  const int window = settings_.replyWindow();
  if (window > 0 && canReply(s.agent) && json::boolean(payload, "stop_hook_active") != true) {
    const std::string pendingId = s.id + ":reply:" + freshUuid().substr(0, 8);
    Pending offer;
    offer.id = pendingId;
    offer.kind = Pending::Reply{message, now + window};
    offer.since = now;
    s.pending = std::move(offer);
    hold(pendingId, std::move(reply));
    selected_ = s.id;
    store(s);
    attention();
    autoAnswerForTests(s);
    return pendingId;
  }

  store(s);
  reply("");
  return std::nullopt;
}

void Hub::readTranscript(Session& s, const std::string& path) {
  if (const TranscriptStats* known = transcripts_.stats(path)) s.stats = *known;
  readTranscriptPasses({path});
}

void Hub::readTranscriptPasses(const std::vector<std::string>& paths, std::function<void()> then) {
  // A long conversation's transcript runs to many megabytes, and one written as fast as a disk
  // allows grows by as much between two events: every read stays off the loop, one at a time
  // per file and in bounded passes, with what is known so far lent to it.
  struct Lent {
    std::string path;
    TranscriptReader reader;
    bool more = false;
  };
  auto lent = std::make_shared<std::vector<Lent>>();
  for (const std::string& path : paths) {
    auto [reading, idle] = transcriptsReading_.try_emplace(path, false);
    if (idle) {
      lent->push_back(Lent{path, transcripts_.lend(path)});
    } else {
      reading->second = true;
    }
  }
  // With nothing to read, `then` still waits for the reads under way, which come back first.
  if (lent->empty() && !then) return;
  const std::uint64_t budget =
      settings_.transcriptPass ? settings_.transcriptPass : std::uint64_t{8} << 20;
  transcriptReads_.run(
      [lent, budget] {
        for (Lent& each : *lent) each.reader.update(each.path, budget, &each.more);
        return std::move(*lent);
      },
      [this, then = std::move(then)](std::vector<Lent> read) {
        std::vector<std::string> again;
        for (Lent& each : read) {
          transcripts_.giveBack(std::move(each.reader));
          auto reading = transcriptsReading_.find(each.path);
          if (reading != transcriptsReading_.end()) {
            if (reading->second) each.more = true;
            transcriptsReading_.erase(reading);
          }
          if (each.more) again.push_back(each.path);
          if (const TranscriptStats* stats = transcripts_.stats(each.path))
            showTranscript(each.path, *stats);
        }
        if (then) then();
        for (const std::string& path : again) readTranscriptPasses({path});
      });
}

void Hub::showTranscript(const std::string& path, const TranscriptStats& stats) {
  bool shown = false;
  for (Session& session : sessions_) {
    if (session.transcript == path && session.stats != stats) {
      session.stats = stats;
      shown = true;
    }
  }
  if (shown) changed();
}

}  // namespace talvane

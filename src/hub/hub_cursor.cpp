// Cursor's agent hooks, translated into Claude Code events so that every session rule lives in
// one place. Cursor reports a tool only after it ran, and its stop can be answered with a
// follow-up message.

#include "hub/hub.h"

namespace talvane {

namespace {

// The first workspace root when it is a path, else "cwd".
std::string cursorCwd(const Json& payload) {
  if (const Json* roots = json::array(payload, "workspace_roots");
      roots && !roots->empty() && roots->front().is_string())
    return roots->front().get<std::string>();
  return json::string(payload, "cwd").value_or("");
}

// What every event of the conversation says, in Claude Code's form.
Json cursorBase(const Json& payload, const std::string& conversation,
                const std::optional<std::string>& remote) {
  Json base = Json::object();
  base["session_id"] = conversation;
  base["_agent"] = "cursor";
  const Json* host = json::object(payload, "_host");
  base["_host"] = host ? *host : Json::object();
  if (remote) base["_remote"] = *remote;
  base["cwd"] = cursorCwd(payload);
  return base;
}

Json withEvent(const Json& base, const char* claudeEvent, const Json& extra) {
  Json message = base;
  message["hook_event_name"] = claudeEvent;
  for (const auto& [key, value] : extra.items()) message[key] = value;
  return message;
}

}  // namespace

std::optional<std::string> Hub::cursor(const Json& payload, Reply reply) {
  auto conversation = json::string(payload, "conversation_id");
  if (!conversation) conversation = json::string(payload, "session_id");
  const auto event = json::string(payload, "hook_event_name");
  if (!conversation || !event) {
    reply("");
    return std::nullopt;
  }
  const auto remote = json::nonEmpty(payload, "_remote");
  const std::string sessionId = Session::key(Agent::cursor, *conversation, remote.value_or(""));

  const Json base = cursorBase(payload, *conversation, remote);
  const auto run = [&](const char* claudeEvent, const Json& extra) {
    return claude(withEvent(base, claudeEvent, extra), reply);
  };
  // Announced after the fact: the line is shown already finished, counted once. Both calls
  // answer the relay; the second answer finds the connection closed and is dropped.
  const auto toolRan = [&](const std::string& tool, const Json& input) {
    const Json extra = {{"tool_name", tool}, {"tool_input", input}};
    run("PreToolUse", extra);
    return run("PostToolUse", extra);
  };
  const auto text = [&](const char* key) { return json::string(payload, key).value_or(""); };

  std::optional<std::string> result;
  const std::string& name = *event;
  if (name == "sessionStart") {
    result = run("SessionStart", Json::object());
  } else if (name == "beforeSubmitPrompt") {
    result = run("UserPromptSubmit", {{"prompt", text("prompt")}});
  } else if (name == "afterShellExecution") {
    result = toolRan("Bash", {{"command", text("command")}});
  } else if (name == "afterFileEdit") {
    result = toolRan("Edit", {{"file_path", text("file_path")}});
  } else if (name == "afterMCPExecution") {
    const std::string tool = "mcp__" + json::string(payload, "mcp_server_name").value_or("mcp") +
                             "__" + json::string(payload, "tool_name").value_or("tool");
    result = toolRan(tool, Json::object());
  } else if (name == "afterAgentResponse") {
    cursorLast[sessionId] = text("text");
    reply("");
  } else if (name == "preCompact") {
    result = run("PreCompact", Json::object());
  } else if (name == "sessionEnd") {
    cursorLast.erase(sessionId);
    result = run("SessionEnd", Json::object());
  } else if (name == "stop") {
    result = cursorStop(payload, base, sessionId, reply);
  } else {
    reply("");
  }

  // Cursor sends no transcript, so the payload is the only place the model shows.
  if (auto model = json::nonEmpty(payload, "model"))
    if (Session* s = findMutable(sessionId)) s->stats.model = *model;
  return result;
}

std::optional<std::string> Hub::cursorStop(const Json& payload, const Json& base,
                                           const std::string& sessionId, Reply& reply) {
  const auto status = json::string(payload, "status");
  if (!status || *status == "completed") {
    const auto last = cursorLast.find(sessionId);
    const auto loops = json::integer(payload, "loop_count");
    return claude(withEvent(base, "Stop",
                            {{"last_assistant_message",
                              last != cursorLast.end() ? last->second : std::string()},
                             {"stop_hook_active", loops && *loops > 0}}),
                  reply);
  }
  reply("");
  // An interrupted or failed run: the turn did not finish, so nothing of it is wrapped up.
  if (Session* s = findMutable(sessionId)) {
    s->mood = Mood::idle;
    s->activity = *status == "error" ? "Stopped with an error" : "Stopped";
    changed();
  }
  return std::nullopt;
}

}  // namespace talvane

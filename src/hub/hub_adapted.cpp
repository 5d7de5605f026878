// Gemini CLI, Copilot CLI, Windsurf, OpenCode and Factory Droid: each spells its events and keys
// its own way. Their payloads are read through tables of alternative key names and rewritten as
// Claude Code events.

#include <span>
#include <string_view>
#include <utility>

#include "hub/hub.h"
#include "hub/tool_names.h"

namespace talvane {

namespace {

// Key names tried in order. To read a new spelling, add it to its table.
constexpr std::string_view kEventKeys[] = {"hook_event_name", "agent_action_name", "event"};
constexpr std::string_view kCwdKeys[] = {"cwd", "directory", "workspace", "workspacePath"};
constexpr std::string_view kSessionKeys[] = {"session_id", "sessionId", "sessionID",
                                             "trajectory_id", "conversation_id"};
constexpr std::string_view kToolKeys[] = {"tool_name", "toolName", "tool"};
constexpr std::string_view kFinalMessageKeys[] = {"last_assistant_message", "prompt_response",
                                                  "response", "error"};
constexpr std::string_view kTranscriptKeys[] = {"transcript_path"};
constexpr std::string_view kNotificationKeys[] = {"message", "details"};
constexpr std::string_view kMcpServerKeys[] = {"mcp_server_name"};
constexpr std::string_view kMcpToolKeys[] = {"mcp_tool_name"};
constexpr std::string_view kFileKeys[] = {"file_path"};
constexpr std::string_view kCommandKeys[] = {"command_line", "command"};
constexpr std::string_view kPromptKeys[] = {"prompt", "user_prompt", "userPrompt"};

// Which Claude Code event each agent event name stands for. To support a new event, add a line
// next to the others that mean the same.
enum class Mapped {
  none,
  sessionStart,
  sessionEnd,
  prompt,
  runCommand,
  writeCode,
  readCode,
  mcpTool,
  preTool,
  postTool,
  notification,
  stop
};

constexpr std::pair<std::string_view, Mapped> kEvents[] = {
    {"SessionStart", Mapped::sessionStart},
    {"sessionStart", Mapped::sessionStart},
    {"session.created", Mapped::sessionStart},
    {"SessionEnd", Mapped::sessionEnd},
    {"sessionEnd", Mapped::sessionEnd},
    {"session.deleted", Mapped::sessionEnd},
    {"UserPromptSubmit", Mapped::prompt},
    {"BeforeAgent", Mapped::prompt},
    {"userPromptSubmitted", Mapped::prompt},
    {"pre_user_prompt", Mapped::prompt},
    {"prompt", Mapped::prompt},
    {"pre_run_command", Mapped::runCommand},
    {"pre_write_code", Mapped::writeCode},
    {"pre_read_code", Mapped::readCode},
    {"pre_mcp_tool_use", Mapped::mcpTool},
    {"PreToolUse", Mapped::preTool},
    {"BeforeTool", Mapped::preTool},
    {"preToolUse", Mapped::preTool},
    {"tool.before", Mapped::preTool},
    {"PostToolUse", Mapped::postTool},
    {"AfterTool", Mapped::postTool},
    {"postToolUse", Mapped::postTool},
    {"tool.after", Mapped::postTool},
    {"post_read_code", Mapped::postTool},
    {"post_write_code", Mapped::postTool},
    {"post_run_command", Mapped::postTool},
    {"post_mcp_tool_use", Mapped::postTool},
    {"Notification", Mapped::notification},
    {"permission", Mapped::notification},
    {"Stop", Mapped::stop},
    {"AfterAgent", Mapped::stop},
    {"agentStop", Mapped::stop},
    {"errorOccurred", Mapped::stop},
    {"post_cascade_response", Mapped::stop},
    {"session.idle", Mapped::stop},
};

Mapped mapEvent(std::string_view name) {
  for (const auto& [candidate, mapped] : kEvents)
    if (candidate == name) return mapped;
  return Mapped::none;
}

// Reads a payload whose keys may sit at its top level or inside "tool_info" (Windsurf).
class Lookup {
 public:
  explicit Lookup(const Json& payload) : payload_(payload) {
    const Json* info = json::object(payload, "tool_info");
    info_ = info ? info : &empty_;
  }

  // The first name that gives a non-empty string. A name missing from the top level (or there
  // of another type) is looked up in "tool_info".
  std::optional<std::string> str(std::span<const std::string_view> names) const {
    for (std::string_view name : names) {
      auto value = json::string(payload_, name);
      if (!value) value = json::string(*info_, name);
      if (value && !value->empty()) return value;
    }
    return std::nullopt;
  }

 private:
  const Json& payload_;
  const Json* info_;
  const Json empty_ = Json::object();
};

// The first of "tool_input", "toolArgs", "args" that is present, when it is an object; Copilot
// sends its arguments as JSON text.
Json toolInput(const Json& payload) {
  Json input = Json::object();
  for (std::string_view key : {"tool_input", "toolArgs", "args"}) {
    if (const Json* value = json::member(payload, key)) {
      if (value->is_object()) input = *value;
      break;
    }
  }
  if (input.empty()) {
    if (auto text = json::string(payload, "toolArgs"))
      if (auto parsed = json::parseObject(*text)) input = std::move(*parsed);
  }
  return input;
}

// Fills in what the mapped event carries beyond the session, and names it as Claude Code does.
const char* fillEvent(Mapped mapped, const Lookup& in, Json& message, std::string& tool,
                      Json& input) {
  switch (mapped) {
    case Mapped::sessionStart:
      return "SessionStart";
    case Mapped::sessionEnd:
      return "SessionEnd";
    case Mapped::prompt:
      message["prompt"] = in.str(kPromptKeys).value_or("");
      return "UserPromptSubmit";
    case Mapped::runCommand:
      tool = "Bash";
      input = {{"command", in.str(kCommandKeys).value_or("")}};
      return "PreToolUse";
    case Mapped::writeCode:
      tool = "Edit";
      input = {{"file_path", in.str(kFileKeys).value_or("")}};
      return "PreToolUse";
    case Mapped::readCode:
      tool = "Read";
      input = {{"file_path", in.str(kFileKeys).value_or("")}};
      return "PreToolUse";
    case Mapped::mcpTool:
      tool = "mcp__" + in.str(kMcpServerKeys).value_or("mcp") + "__" +
             in.str(kMcpToolKeys).value_or("tool");
      return "PreToolUse";
    case Mapped::preTool:
      return "PreToolUse";
    case Mapped::postTool:
      return "PostToolUse";
    case Mapped::notification:
      message["notification_type"] = "permission_prompt";
      message["message"] = in.str(kNotificationKeys).value_or("Needs your OK");
      return "Notification";
    case Mapped::stop:
      message["last_assistant_message"] = in.str(kFinalMessageKeys).value_or("");
      return "Stop";
    case Mapped::none:
      break;
  }
  return "";
}

// The event as Claude Code would have sent it.
Json asClaude(const Json& payload, const Lookup& in, Mapped mapped, const std::string& agent,
              const std::string& cwd) {
  Json message = Json::object();
  message["session_id"] = in.str(kSessionKeys).value_or(cwd.empty() ? "default" : cwd);
  message["_agent"] = agent;
  const Json* host = json::object(payload, "_host");
  message["_host"] = host ? *host : Json::object();
  if (auto remote = json::nonEmpty(payload, "_remote")) message["_remote"] = *remote;
  message["cwd"] = cwd;

  // The agent's own tool names become the ones the notch's texts know.
  auto [tool, input] =
      ToolNames::toClaude(agent, in.str(kToolKeys).value_or(""), toolInput(payload));
  message["hook_event_name"] = fillEvent(mapped, in, message, tool, input);
  if (!tool.empty()) {
    message["tool_name"] = tool;
    message["tool_input"] = std::move(input);
  }
  if (auto transcript = in.str(kTranscriptKeys)) message["transcript_path"] = *transcript;
  return message;
}

}  // namespace

std::optional<std::string> Hub::adapted(const Json& payload, Reply reply) {
  const Lookup in(payload);
  const std::string agent = json::string(payload, "_agent").value_or("");
  const std::string event = in.str(kEventKeys).value_or("");
  const std::string cwd = in.str(kCwdKeys).value_or("");

  const Mapped mapped = mapEvent(event);
  if (mapped == Mapped::none) {
    reply("");
    return std::nullopt;
  }
  return claude(asClaude(payload, in, mapped, agent, cwd), std::move(reply));
}

}  // namespace talvane

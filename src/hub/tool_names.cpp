#include "hub/tool_names.h"

#include <span>

namespace talvane::ToolNames {

namespace {

// One input key the texts read ("to"), taken from the agent's own key ("from") when the input
// lacks it. A list value gives its first string (Droid's "patterns", Gemini's "paths").
struct Key {
  std::string_view from;
  std::string_view to;
};

struct Name {
  std::string_view tool;    // as the agent sends it, compared exactly
  std::string_view claude;  // as the texts know it
  Key keys[2] = {};
};

// How to add one: find the tool's name and input keys in a payload the agent sends (tests/data/
// agents has samples), add a line to that agent's table with the Claude Code tool that does the
// same ("Bash", "Read", "Write", "Edit", "MultiEdit", "Glob", "Grep", "WebFetch", "WebSearch",
// "TodoWrite", "Task") and each key of the agent's input that holds what the texts read under
// another name: "command", "file_path", "pattern", "url", "query", "description".
// A new agent gets a table of its own and a line in kAgents.

constexpr Name kGemini[] = {
    {"run_shell_command", "Bash"},
    {"read_file", "Read", {{"absolute_path", "file_path"}}},
    {"write_file", "Write", {{"absolute_path", "file_path"}}},
    {"replace", "Edit", {{"absolute_path", "file_path"}}},
    {"glob", "Glob"},
    {"search_file_content", "Grep"},
    {"web_fetch", "WebFetch", {{"prompt", "url"}}},
    {"google_web_search", "WebSearch"},
    {"list_directory", "Read", {{"path", "file_path"}, {"dir_path", "file_path"}}},
    {"read_many_files", "Read", {{"paths", "file_path"}}},
    {"write_todos", "TodoWrite"},
};

constexpr Name kCopilot[] = {
    {"bash", "Bash"},
    {"view", "Read", {{"path", "file_path"}}},
    {"create", "Write", {{"path", "file_path"}}},
    {"edit", "Edit", {{"path", "file_path"}}},
    {"str_replace", "Edit", {{"path", "file_path"}}},
    {"glob", "Glob"},
    {"grep", "Grep"},
    {"web_fetch", "WebFetch"},
};

constexpr Name kOpenCode[] = {
    {"bash", "Bash"},
    {"read", "Read", {{"filePath", "file_path"}}},
    {"write", "Write", {{"filePath", "file_path"}}},
    {"edit", "Edit", {{"filePath", "file_path"}}},
    {"multiedit", "MultiEdit", {{"filePath", "file_path"}}},
    {"patch", "Edit", {{"filePath", "file_path"}}},
    {"list", "Read", {{"path", "file_path"}}},
    {"grep", "Grep"},
    {"glob", "Glob"},
    {"webfetch", "WebFetch"},
    {"websearch", "WebSearch"},
    {"todowrite", "TodoWrite"},
    {"task", "Task"},
};

// Windsurf names no tools: its events say what runs (pre_run_command, pre_write_code, ...).
constexpr std::span<const Name> kWindsurf;

constexpr Name kDroid[] = {
    {"Execute", "Bash"},
    {"Create", "Write"},
    {"LS", "Read", {{"directory_path", "file_path"}}},
    {"Glob", "Glob", {{"patterns", "pattern"}}},
    {"FetchUrl", "WebFetch"},
};

struct Agent {
  std::string_view name;  // the relay's "_agent"
  std::span<const Name> tools;
};

constexpr Agent kAgents[] = {
    {"gemini", kGemini},     {"copilot", kCopilot}, {"opencode", kOpenCode},
    {"windsurf", kWindsurf}, {"droid", kDroid},
};

const Name* find(std::string_view agent, std::string_view tool) {
  for (const Agent& a : kAgents) {
    if (a.name != agent) continue;
    for (const Name& name : a.tools)
      if (name.tool == tool) return &name;
  }
  return nullptr;
}

}  // namespace

Renamed toClaude(std::string_view agent, std::string_view tool, const Json& input) {
  const Name* name = find(agent, tool);
  if (!name) return {std::string(tool), input};
  Renamed out{std::string(name->claude), input.is_object() ? input : Json::object()};
  for (const Key& key : name->keys) {
    if (key.from.empty() || json::member(out.input, key.to)) continue;
    const Json* value = json::member(out.input, key.from);
    if (!value) continue;
    if (value->is_string()) {
      out.input[std::string(key.to)] = *value;
    } else if (value->is_array()) {
      for (const Json& item : *value) {
        if (item.is_string()) {
          out.input[std::string(key.to)] = item;
          break;
        }
      }
    }
  }
  return out;
}

}  // namespace talvane::ToolNames

#pragma once
// Each agent names its tools its own way ("run_shell_command", "view", "Execute", ...). The
// notch's texts know Claude Code's names and input keys, so a tool call is renamed before they
// see it: "Running echo hi" reads the same for every agent.

#include <string>
#include <string_view>

#include "platform/json.h"

namespace talvane::ToolNames {

struct Renamed {
  std::string tool;
  Json input;
};

// `tool` as Claude Code would name it, and `input` with the keys the texts read filled in from
// the agent's own keys (the agent's keys stay too). A tool the agent's table does not list, or
// an agent without a table, keeps its name and input.
Renamed toClaude(std::string_view agent, std::string_view tool, const Json& input);

}  // namespace talvane::ToolNames

#pragma once
// Every agent we can connect, as one table for the command line and the app's startup.

#include <span>
#include <string>
#include <string_view>

namespace talvane::AgentHooks {

struct Entry {
  std::string_view name;   // "claude", "cursor", "gemini", ...
  std::string_view label;  // "Claude Code", "Cursor", "Gemini CLI", ...
  bool (*available)();     // the agent is present on this machine
  bool (*connected)();     // our hooks are in place
  void (*connect)();       // throws IntegrationError
  void (*disconnect)();    // throws IntegrationError
  std::string (*path)();   // the configuration file connect() writes
};

// Claude Code, Cursor, then the integrations in their order.
std::span<const Entry> all();
const Entry* find(std::string_view name);
std::string names();  // "claude, cursor, gemini, droid, opencode, copilot, windsurf"

// Claude Code: a refresh when installed, or a migration of hooks installed under the old relay
// name. Cursor: a refresh when installed or when `connectCursor`. Errors are absorbed (logged
// at debug level): nothing here may stop the app from starting.
void refreshAtStartup(bool connectCursor);
// The same, with connectCursor taken from the environment (TALVANE_CONNECT_CURSOR present).
void refreshAtStartup();

}  // namespace talvane::AgentHooks

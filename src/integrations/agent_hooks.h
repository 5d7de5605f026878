#pragma once
// Every agent we can connect, as one table for the command line and the app's startup.

#include <span>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace talvane::AgentHooks {

// One operation of an agent, on this machine's files or on the file system it is given.
template <class Result>
struct Operation {
  Result (*run)(FileSystem&);
  Result operator()(FileSystem& fs = FileSystem::local()) const { return run(fs); }
};

struct Entry {
  std::string_view name;        // "claude", "cursor", "gemini", ...
  std::string_view label;       // "Claude Code", "Cursor", "Gemini CLI", ...
  Operation<bool> available;    // the agent is present on that machine
  Operation<bool> connected;    // our hooks are in place
  Operation<void> connect;      // throws IntegrationError
  Operation<void> disconnect;   // throws IntegrationError
  Operation<std::string> path;  // the configuration file connect() writes
};

// What connecting or disconnecting one agent did, in the words `talvane connect` prints.
struct Outcome {
  bool failed = false;
  // "Connected Claude Code (~/.claude/settings.json)", "Claude Code was already connected
  // (~/.claude/settings.json is unchanged)", or on failure "cannot connect Claude Code: <why>".
  std::string line;
};
Outcome change(const Entry& entry, bool connecting, FileSystem& fs = FileSystem::local());

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

// `talvane connect|disconnect <agent>|all` and `talvane status`.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/state_client.h"
#include "bridge/bridge.h"
#include "integrations/agent_hooks.h"
#include "integrations/config_file.h"
#include "integrations/hook_installer.h"
#include "platform/files.h"
#include "platform/json.h"

namespace talvane::cli {

namespace {

using Entry = AgentHooks::Entry;

void error(const std::string& message) { std::fprintf(stderr, "talvane: %s\n", message.c_str()); }

std::string choices() { return AgentHooks::names() + ", or all"; }

// The agents the arguments name, each once; absent after reporting a usage error.
std::optional<std::vector<const Entry*>> selected(const Args& args, bool connecting) {
  if (args.empty()) {
    error(std::string(connecting ? "connect" : "disconnect") + " needs an agent: " + choices());
    return std::nullopt;
  }
  std::vector<const Entry*> entries;
  auto add = [&](const Entry* entry) {
    if (std::find(entries.begin(), entries.end(), entry) == entries.end()) entries.push_back(entry);
  };
  for (const std::string& name : args) {
    if (name == "all") {
      for (const Entry& entry : AgentHooks::all()) {
        // Disconnecting also reaches an agent that has since gone but still has our hooks.
        if (entry.available() || (!connecting && entry.connected())) add(&entry);
      }
      continue;
    }
    const Entry* entry = AgentHooks::find(name);
    if (!entry) {
      error("unknown agent '" + name + "' (choose from " + choices() + ")");
      return std::nullopt;
    }
    add(entry);
  }
  return entries;
}

bool relayInPlace() { return ::access(HookInstaller::binPath().c_str(), X_OK) == 0; }

int run(const Args& args, bool connecting) {
  auto entries = selected(args, connecting);
  if (!entries) return 2;
  if (entries->empty()) {
    if (connecting) {
      error("no supported agent was found on this machine (" + AgentHooks::names() + ")");
      return 1;
    }
    std::printf("No agent is connected\n");
    return 0;
  }
  int failures = 0;
  for (const Entry* entry : *entries) {
    const AgentHooks::Outcome outcome = AgentHooks::change(*entry, connecting);
    if (outcome.failed) {
      ++failures;
      error(outcome.line);
    } else {
      std::printf("%s\n", outcome.line.c_str());
    }
  }
  if (connecting && failures < static_cast<int>(entries->size()) && !relayInPlace()) {
    error("warning: talvane-hook was not found beside talvane, so the hooks stay silent until " +
          ConfigFile::displayPath(HookInstaller::binPath()) + " exists");
  }
  std::fflush(stdout);
  return failures == 0 ? 0 : 1;
}

}  // namespace

std::string printable(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return text;
}

int connect(const Args& args) { return run(args, true); }

int disconnect(const Args& args) { return run(args, false); }

int status(const Args& args) {
  if (!args.empty()) {
    error("status takes no arguments");
    return 2;
  }
  std::printf("%-10s %-10s %s\n", "agent", "available", "connected");
  for (const Entry& entry : AgentHooks::all()) {
    std::printf("%-10s %-10s %s\n", std::string(entry.name).c_str(),
                entry.available() ? "yes" : "no", entry.connected() ? "yes" : "no");
  }
  const std::string socket = ConfigFile::displayPath(bridgeSocketPath());
  if (auto state = queryState(2)) {
    std::vector<const Json*> sessions;
    std::optional<Json> snapshot = json::parse(*state);
    if (snapshot) {
      if (const Json* list = json::array(*snapshot, "sessions"))
        for (const Json& s : *list)
          if (s.is_object()) sessions.push_back(&s);
    }
    std::printf("app: listening on %s, %zu session%s\n", socket.c_str(), sessions.size(),
                sessions.size() == 1 ? "" : "s");
    // The ids `talvane jump` takes, with what tells them apart.
    for (const Json* s : sessions) {
      std::printf("  %-44s %-8s %s\n", printable(json::string(*s, "id").value_or("?")).c_str(),
                  printable(json::string(*s, "mood").value_or("")).c_str(),
                  printable(json::string(*s, "project").value_or("")).c_str());
    }
  } else {
    std::printf("app: not listening on %s\n", socket.c_str());
  }
  return 0;
}

}  // namespace talvane::cli

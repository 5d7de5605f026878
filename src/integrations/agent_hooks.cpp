#include "integrations/agent_hooks.h"

#include <array>
#include <cstdlib>
#include <exception>

#include "integrations/config_file.h"
#include "integrations/cursor_hooks.h"
#include "integrations/hook_installer.h"
#include "integrations/integration.h"
#include "platform/files.h"
#include "platform/log.h"

namespace talvane::AgentHooks {

namespace {

bool claudeAvailable() { return files::isDirectory(files::home() + "/.claude"); }

template <Integration::Case c>
constexpr Entry integration(std::string_view name, std::string_view label) {
  return {name,
          label,
          [] { return Integration(c).available(); },
          [] { return Integration(c).isInstalled(); },
          [] { Integration(c).install(); },
          [] { Integration(c).uninstall(); },
          [] { return Integration(c).path(); }};
}

// To add an agent: give it an installer in this folder and a line here.
const std::array<Entry, 7> kEntries{{
    {"claude", "Claude Code", claudeAvailable, HookInstaller::isInstalled, HookInstaller::install,
     HookInstaller::uninstall, HookInstaller::settingsPath},
    {"cursor", "Cursor", CursorHooks::available, CursorHooks::isInstalled, CursorHooks::install,
     CursorHooks::uninstall, CursorHooks::path},
    integration<Integration::gemini>("gemini", "Gemini CLI"),
    integration<Integration::droid>("droid", "Droid"),
    integration<Integration::opencode>("opencode", "OpenCode"),
    integration<Integration::copilot>("copilot", "Copilot CLI"),
    integration<Integration::windsurf>("windsurf", "Windsurf"),
}};

void attempt(std::string_view what, void (*operation)()) {
  try {
    operation();
  } catch (const std::exception& e) {
    log::debug("integrations", std::string(what) + ": " + e.what());
  }
}

}  // namespace

std::span<const Entry> all() { return kEntries; }

const Entry* find(std::string_view name) {
  for (const Entry& entry : kEntries)
    if (entry.name == name) return &entry;
  return nullptr;
}

std::string names() {
  std::string list;
  for (const Entry& entry : kEntries) {
    if (!list.empty()) list += ", ";
    list += entry.name;
  }
  return list;
}

void refreshAtStartup(bool connectCursor) {
  if (HookInstaller::isInstalled()) {
    attempt("Claude Code hooks", HookInstaller::install);
  } else if (auto text = files::read(HookInstaller::settingsPath());
             text && text->find(ConfigFile::legacyMarker) != std::string::npos) {
    attempt("Claude Code hooks", HookInstaller::install);
  }
  if (CursorHooks::isInstalled() || connectCursor) attempt("Cursor hooks", CursorHooks::install);
}

void refreshAtStartup() { refreshAtStartup(std::getenv("TALVANE_CONNECT_CURSOR") != nullptr); }

}  // namespace talvane::AgentHooks

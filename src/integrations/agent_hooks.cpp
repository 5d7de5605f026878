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

bool claudeAvailable(FileSystem& fs) { return fs.isDirectory(fs.home() + "/.claude"); }

template <Integration::Case c>
constexpr Entry integration(std::string_view name, std::string_view label) {
  return {name,
          label,
          {[](FileSystem& fs) { return Integration(c).available(fs); }},
          {[](FileSystem& fs) { return Integration(c).isInstalled(fs); }},
          {[](FileSystem& fs) { Integration(c).install(fs); }},
          {[](FileSystem& fs) { Integration(c).uninstall(fs); }},
          {[](FileSystem& fs) { return Integration(c).path(fs); }}};
}

// To add an agent: give it an installer in this folder and a line here.
const std::array<Entry, 7> kEntries{{
    {"claude",
     "Claude Code",
     {claudeAvailable},
     {HookInstaller::isInstalled},
     {HookInstaller::installOn},
     {HookInstaller::uninstallOn},
     {HookInstaller::settingsPath}},
    {"cursor",
     "Cursor",
     {CursorHooks::available},
     {CursorHooks::isInstalled},
     {CursorHooks::install},
     {CursorHooks::uninstall},
     {CursorHooks::path}},
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

Outcome change(const Entry& entry, bool connecting, FileSystem& fs) {
  const std::string label(entry.label);
  const std::string failed =
      std::string("cannot ") + (connecting ? "connect " : "disconnect ") + label + ": ";
  std::string shown = "its configuration";
  try {
    const std::string path = entry.path(fs);
    shown = fs.displayPath(path);
    const auto before = fs.read(path);
    (connecting ? entry.connect : entry.disconnect)(fs);
    if (fs.read(path) == before)
      return {false, label + (connecting ? " was already connected" : " was not connected") + " (" +
                         shown + " is unchanged)"};
  } catch (const IntegrationError& e) {
    return {true, failed + e.what()};
  } catch (const std::exception&) {
    return {true, failed + shown + " could not be changed"};
  }
  return {false, (connecting ? "Connected " : "Disconnected ") + label + " (" + shown + ")"};
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
  if (CursorHooks::isInstalled() || connectCursor)
    attempt("Cursor hooks", [] { CursorHooks::install(); });
}

void refreshAtStartup() { refreshAtStartup(std::getenv("TALVANE_CONNECT_CURSOR") != nullptr); }

}  // namespace talvane::AgentHooks

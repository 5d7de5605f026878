#include "integrations/integration.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "integrations/app_presence.h"
#include "integrations/config_file.h"
#include "integrations/hook_installer.h"
#include "platform/files.h"
#include "platform/json.h"

namespace talvane {

namespace {

constexpr std::string_view kPrefix =
    "/bin/sh -c '[ -x \"$HOME/.talvane/bin/talvane-hook\" ] && "
    "\"$HOME/.talvane/bin/talvane-hook\" ";
constexpr std::string_view kSuffix = "; exit 0'";

constexpr std::array<Integration, 5> kAll{Integration::gemini, Integration::droid,
                                          Integration::opencode, Integration::copilot,
                                          Integration::windsurf};

struct Event {
  std::string_view name;
  bool anyMatcher;
  int timeout;  // 0: none
};

// To register another event, add it to the agent's table; the order is the order in the file.
constexpr std::array<Event, 7> kGeminiEvents{{
    {"SessionStart", false, 0},
    {"SessionEnd", false, 0},
    {"BeforeAgent", false, 0},
    {"BeforeTool", true, 0},
    {"AfterTool", true, 0},
    {"Notification", true, 0},
    // Held open by the relay while the user may reply; Gemini CLI counts in milliseconds.
    {"AfterAgent", false, 70000},
}};

constexpr std::array<Event, 7> kDroidEvents{{
    {"SessionStart", false, 0},
    {"SessionEnd", false, 0},
    {"UserPromptSubmit", false, 0},
    {"PreToolUse", true, 0},
    {"PostToolUse", true, 0},
    {"Notification", true, 0},
    {"Stop", false, 70},
}};

constexpr std::array<std::string_view, 7> kCopilotEvents{
    "sessionStart", "sessionEnd", "userPromptSubmitted", "preToolUse",
    "postToolUse",  "agentStop",  "errorOccurred"};

constexpr std::array<std::string_view, 10> kWindsurfEvents{
    "pre_user_prompt",   "pre_read_code",        "post_read_code",   "pre_write_code",
    "post_write_code",   "pre_run_command",      "post_run_command", "pre_mcp_tool_use",
    "post_mcp_tool_use", "post_cascade_response"};

std::string home(std::string_view relative) { return files::home() + std::string(relative); }

// Windsurf reads its hook file the way its editor reads settings: comments and trailing commas.
constexpr JsonText::Syntax kWindsurfSyntax{.trailingCommas = true};

Json hooksOf(const Json& config) {
  if (const Json* hooks = json::object(config, "hooks")) return *hooks;
  return Json::object();
}

Json strippedGroups(const Json& hooks) {
  return HookInstaller::stripping(HookInstaller::stripping(hooks, ConfigFile::marker),
                                  ConfigFile::legacyMarker);
}

void mergeClaudeStyle(const std::string& path, std::span<const Event> events,
                      const std::string& command) {
  Json config = ConfigFile::load(path);
  Json hooks = strippedGroups(hooksOf(config));
  for (const Event& event : events) {
    const std::string name(event.name);
    Json groups = Json::array();
    if (auto it = hooks.find(name); it != hooks.end() && it->is_array()) groups = *it;
    Json hook = {{"type", "command"}, {"command", command}};
    if (event.timeout > 0) hook["timeout"] = event.timeout;
    Json group = {{"hooks", Json::array({hook})}};
    if (event.anyMatcher) group["matcher"] = "*";
    groups.push_back(std::move(group));
    hooks[name] = std::move(groups);
  }
  config["hooks"] = std::move(hooks);
  ConfigFile::save(path, config);
}

// Removes our entries from a shared file; a file that does not exist or holds nothing of ours
// is left alone. A "hooks" member that only our entries filled goes too (one holding the user's
// comments stays), so that connecting and disconnecting gives back the user's file as it was.
void removeFrom(const std::string& path, Json (*strip)(const Json&), JsonText::Syntax syntax = {}) {
  if (!ConfigFile::present(path)) return;
  Json config = ConfigFile::load(path, syntax);
  const Json hooks = hooksOf(config);
  Json kept = strip(hooks);
  if (kept == hooks) return;
  ConfigFile::saveStripped(path, std::move(config), hooks, std::move(kept),
                           /*dropEmptyHooks=*/true, syntax);
}

// Removes a file that belongs to us alone.
void removeOwn(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    throw IntegrationError(
        IntegrationError::unwritable,
        "cannot remove " + ConfigFile::displayPath(path) + ": " + std::strerror(errno));
}

}  // namespace

std::span<const Integration> Integration::allCases() { return kAll; }

std::optional<Integration> Integration::named(std::string_view name) {
  for (Integration integration : kAll)
    if (integration.rawValue() == name) return integration;
  return std::nullopt;
}

std::string_view Integration::rawValue() const {
  switch (value_) {
    case gemini:
      return "gemini";
    case droid:
      return "droid";
    case opencode:
      return "opencode";
    case copilot:
      return "copilot";
    case windsurf:
      return "windsurf";
  }
  return "";
}

std::string_view Integration::label() const {
  switch (value_) {
    case gemini:
      return "Gemini CLI";
    case droid:
      return "Droid";
    case opencode:
      return "OpenCode";
    case copilot:
      return "Copilot CLI";
    case windsurf:
      return "Windsurf";
  }
  return "";
}

bool Integration::available() const {
  switch (value_) {
    case gemini:
      return files::exists(home("/.gemini"));
    case droid:
      return files::exists(home("/.factory"));
    // OpenCode follows XDG_CONFIG_HOME, which defaults to ~/.config.
    case opencode:
      return files::exists(files::configHome() + "/opencode") || files::exists(home("/.opencode"));
    case copilot:
      return files::exists(home("/.copilot"));
    case windsurf:
      return files::exists(home("/.codeium/windsurf")) ||
             AppPresence::installed("windsurf",
                                    {"/opt/Windsurf", "/opt/windsurf", "/usr/share/windsurf",
                                     "/usr/share/applications/windsurf.desktop"});
  }
  return false;
}

std::string Integration::path() const {
  switch (value_) {
    case gemini:
      return home("/.gemini/settings.json");
    case droid: {
      std::string hooksFile = home("/.factory/hooks.json");
      return files::exists(hooksFile) ? hooksFile : home("/.factory/settings.json");
    }
    case opencode:
      return files::configHome() + "/opencode/plugin/talvane.js";
    case copilot:
      return home("/.copilot/hooks/talvane.json");
    case windsurf:
      return home("/.codeium/windsurf/hooks.json");
  }
  return "";
}

std::string Integration::command(std::string_view event) const {
  std::string command(kPrefix);
  command += rawValue();
  if (value_ == copilot && !event.empty()) {
    command += ' ';
    command += event;
  }
  command += kSuffix;
  return command;
}

void Integration::install() const {
  HookInstaller::copyBinary();
  switch (value_) {
    case gemini:
      mergeClaudeStyle(path(), kGeminiEvents, command());
      return;
    case droid:
      mergeClaudeStyle(path(), kDroidEvents, command());
      return;
    case opencode:
      ConfigFile::writeText(path(), OpenCodePlugin::text);
      return;
    case copilot: {
      // The file is ours alone: written whole.
      Json hooks = Json::object();
      for (std::string_view event : kCopilotEvents)
        hooks[std::string(event)] =
            Json::array({{{"type", "command"}, {"bash", command(event)}, {"timeoutSec", 10}}});
      ConfigFile::save(path(), Json{{"version", 1}, {"hooks", std::move(hooks)}});
      return;
    }
    case windsurf: {
      Json config = ConfigFile::load(path(), kWindsurfSyntax);
      Json hooks = ConfigFile::strippedFlat(hooksOf(config));
      for (std::string_view event : kWindsurfEvents) {
        const std::string name(event);
        Json list = Json::array();
        if (auto it = hooks.find(name); it != hooks.end() && it->is_array()) list = *it;
        list.push_back({{"command", command()}, {"show_output", false}});
        hooks[name] = std::move(list);
      }
      config["hooks"] = std::move(hooks);
      ConfigFile::save(path(), config, kWindsurfSyntax);
      return;
    }
  }
}

void Integration::uninstall() const {
  switch (value_) {
    case gemini:
      removeFrom(path(), strippedGroups);
      return;
    case droid:
      // An earlier install may have used the other file, before hooks.json appeared.
      removeFrom(home("/.factory/hooks.json"), strippedGroups);
      removeFrom(home("/.factory/settings.json"), strippedGroups);
      return;
    case opencode:
      removeOwn(path());
      return;
    case copilot:
      removeOwn(path());
      removeOwn(path() + ".talvane-backup");
      return;
    case windsurf:
      removeFrom(path(), ConfigFile::strippedFlat, kWindsurfSyntax);
      return;
  }
}

bool Integration::isInstalled() const {
  auto text = files::read(path());
  return text && text->find(ConfigFile::marker) != std::string::npos;
}

}  // namespace talvane

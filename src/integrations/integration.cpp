#include "integrations/integration.h"

#include <array>

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

std::string home(FileSystem& fs, std::string_view relative) {
  return fs.home() + std::string(relative);
}

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

void mergeClaudeStyle(FileSystem& fs, const std::string& path, std::span<const Event> events,
                      const std::string& command) {
  Json config = ConfigFile::load(fs, path);
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
  ConfigFile::save(fs, path, config);
}

// Removes our entries from a shared file; a file that does not exist or holds nothing of ours
// is left alone. A "hooks" member that only our entries filled goes too (one holding the user's
// comments stays), so that connecting and disconnecting gives back the user's file as it was.
void removeFrom(FileSystem& fs, const std::string& path, Json (*strip)(const Json&),
                JsonText::Syntax syntax = {}) {
  if (!ConfigFile::present(fs, path)) return;
  Json config = ConfigFile::load(fs, path, syntax);
  const Json hooks = hooksOf(config);
  Json kept = strip(hooks);
  if (kept == hooks) return;
  ConfigFile::saveStripped(fs, path, std::move(config), hooks, std::move(kept),
                           /*dropEmptyHooks=*/true, syntax);
}

// Removes a file that belongs to us alone.
void removeOwn(FileSystem& fs, const std::string& path) {
  if (auto why = fs.remove(path))
    throw IntegrationError(IntegrationError::unwritable,
                           "cannot remove " + fs.displayPath(path) + ": " + *why);
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

bool Integration::available(FileSystem& fs) const {
  switch (value_) {
    case gemini:
      return fs.exists(home(fs, "/.gemini"));
    case droid:
      return fs.exists(home(fs, "/.factory"));
    // OpenCode follows XDG_CONFIG_HOME, which defaults to ~/.config.
    case opencode:
      return fs.exists(fs.configHome() + "/opencode") || fs.exists(home(fs, "/.opencode"));
    case copilot:
      return fs.exists(home(fs, "/.copilot"));
    case windsurf:
      return fs.exists(home(fs, "/.codeium/windsurf")) ||
             AppPresence::installed("windsurf",
                                    {"/opt/Windsurf", "/opt/windsurf", "/usr/share/windsurf",
                                     "/usr/share/applications/windsurf.desktop"},
                                    fs);
  }
  return false;
}

std::string Integration::path(FileSystem& fs) const {
  switch (value_) {
    case gemini:
      return home(fs, "/.gemini/settings.json");
    case droid: {
      std::string hooksFile = home(fs, "/.factory/hooks.json");
      return fs.exists(hooksFile) ? hooksFile : home(fs, "/.factory/settings.json");
    }
    case opencode:
      return fs.configHome() + "/opencode/plugin/talvane.js";
    case copilot:
      return home(fs, "/.copilot/hooks/talvane.json");
    case windsurf:
      return home(fs, "/.codeium/windsurf/hooks.json");
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

void Integration::install(FileSystem& fs) const {
  HookInstaller::copyBinary(fs);
  switch (value_) {
    case gemini:
      mergeClaudeStyle(fs, path(fs), kGeminiEvents, command());
      return;
    case droid:
      mergeClaudeStyle(fs, path(fs), kDroidEvents, command());
      return;
    case opencode:
      ConfigFile::writeText(fs, path(fs), OpenCodePlugin::text);
      return;
    case copilot: {
      // The file is ours alone: written whole.
      Json hooks = Json::object();
      for (std::string_view event : kCopilotEvents)
        hooks[std::string(event)] =
            Json::array({{{"type", "command"}, {"bash", command(event)}, {"timeoutSec", 10}}});
      ConfigFile::save(fs, path(fs), Json{{"version", 1}, {"hooks", std::move(hooks)}});
      return;
    }
    case windsurf: {
      Json config = ConfigFile::load(fs, path(fs), kWindsurfSyntax);
      Json hooks = ConfigFile::strippedFlat(hooksOf(config));
      for (std::string_view event : kWindsurfEvents) {
        const std::string name(event);
        Json list = Json::array();
        if (auto it = hooks.find(name); it != hooks.end() && it->is_array()) list = *it;
        list.push_back({{"command", command()}, {"show_output", false}});
        hooks[name] = std::move(list);
      }
      config["hooks"] = std::move(hooks);
      ConfigFile::save(fs, path(fs), config, kWindsurfSyntax);
      return;
    }
  }
}

void Integration::uninstall(FileSystem& fs) const {
  switch (value_) {
    case gemini:
      removeFrom(fs, path(fs), strippedGroups);
      return;
    case droid:
      // An earlier install may have used the other file, before hooks.json appeared.
      removeFrom(fs, home(fs, "/.factory/hooks.json"), strippedGroups);
      removeFrom(fs, home(fs, "/.factory/settings.json"), strippedGroups);
      return;
    case opencode:
      removeOwn(fs, path(fs));
      return;
    case copilot:
      removeOwn(fs, path(fs));
      removeOwn(fs, path(fs) + ".talvane-backup");
      return;
    case windsurf:
      removeFrom(fs, path(fs), ConfigFile::strippedFlat, kWindsurfSyntax);
      return;
  }
}

bool Integration::isInstalled(FileSystem& fs) const {
  auto text = fs.read(path(fs));
  return text && text->find(ConfigFile::marker) != std::string::npos;
}

}  // namespace talvane

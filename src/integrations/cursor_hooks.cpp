#include "integrations/cursor_hooks.h"

#include <array>

#include "integrations/app_presence.h"
#include "integrations/config_file.h"
#include "integrations/hook_installer.h"

namespace talvane::CursorHooks {

namespace {

struct Event {
  std::string_view name;
  int timeout;  // 0: none
};

// To register another Cursor event, add it here; the order is the order in the file.
constexpr std::array<Event, 9> kEvents{{
    {"sessionStart", 0},
    {"sessionEnd", 0},
    {"beforeSubmitPrompt", 0},
    {"afterShellExecution", 0},
    {"afterMCPExecution", 0},
    {"afterFileEdit", 0},
    {"afterAgentResponse", 0},
    {"preCompact", 0},
    // The one event that waits for the app (a follow-up reply), bounded by Cursor.
    {"stop", 60},
}};

// Cursor reads its hook file the way its editor reads settings: comments and trailing commas.
constexpr JsonText::Syntax kSyntax{.trailingCommas = true};

Json hooksOf(const Json& config) {
  if (const Json* hooks = json::object(config, "hooks")) return *hooks;
  return Json::object();
}

}  // namespace

std::string path(FileSystem& fs) { return fs.home() + "/.cursor/hooks.json"; }

std::string command(std::string_view event) {
  const std::string fallback =
      event == "beforeSubmitPrompt" ? R"("{\"continue\":true}")" : R"("{}")";
  return R"(/bin/sh -c '[ -x "$HOME/.talvane/bin/talvane-hook" ] && exec )"
         R"("$HOME/.talvane/bin/talvane-hook" cursor || echo )" +
         fallback + "'";
}

Json stripped(const Json& hooks) { return ConfigFile::strippedFlat(hooks); }

void save(const Json& config, FileSystem& fs) { ConfigFile::save(fs, path(fs), config, kSyntax); }

void install(FileSystem& fs) {
  HookInstaller::copyBinary(fs);
  Json config = ConfigFile::load(fs, path(fs), kSyntax);
  Json hooks = stripped(hooksOf(config));
  for (const Event& event : kEvents) {
    const std::string name(event.name);
    Json list = Json::array();
    if (auto it = hooks.find(name); it != hooks.end() && it->is_array()) list = *it;
    Json hook = {{"command", command(event.name)}};
    if (event.timeout > 0) hook["timeout"] = event.timeout;
    list.push_back(std::move(hook));
    hooks[name] = std::move(list);
  }
  if (!config.contains("version")) config["version"] = 1;
  config["hooks"] = std::move(hooks);
  save(config, fs);
}

void uninstall(FileSystem& fs) {
  if (!ConfigFile::present(fs, path(fs))) return;
  Json config = ConfigFile::load(fs, path(fs), kSyntax);
  const Json hooks = hooksOf(config);
  Json kept = stripped(hooks);
  if (kept == hooks) return;  // nothing of ours: the file stays as it is
  ConfigFile::saveStripped(fs, path(fs), std::move(config), hooks, std::move(kept),
                           /*dropEmptyHooks=*/false, kSyntax);
}

bool isInstalled(FileSystem& fs) {
  auto text = fs.read(path(fs));
  if (!text) return false;
  Json config;
  try {
    config = JsonText::parse(*text, kSyntax);
  } catch (const JsonText::ParseError&) {
    return false;
  }
  const Json hooks = hooksOf(config);
  for (const auto& [event, list] : hooks.items()) {
    if (!list.is_array()) continue;
    for (const Json& hook : list)
      if (ConfigFile::commandOf(hook).find(ConfigFile::marker) != std::string::npos) return true;
  }
  return false;
}

bool applicationInstalled(FileSystem& fs) {
  return AppPresence::installed(
      "cursor",
      {"/opt/Cursor", "/opt/cursor", "/usr/share/cursor", "/usr/share/applications/cursor.desktop",
       "~/.local/share/applications/cursor.desktop"},
      fs);
}

bool available(FileSystem& fs) {
  return fs.isDirectory(fs.home() + "/.cursor") || applicationInstalled(fs);
}

}  // namespace talvane::CursorHooks

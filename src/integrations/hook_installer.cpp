#include "integrations/hook_installer.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "integrations/config_file.h"
#include "platform/files.h"

namespace talvane::HookInstaller {

namespace {

std::optional<std::string>& relaySourceOverride() {
  static std::optional<std::string> path;
  return path;
}

struct Event {
  std::string_view name;
  bool anyMatcher;
  int timeout;  // 0: none
};

// To register another Claude Code event, add it here; the order is the order in the file.
constexpr std::array<Event, 10> kEvents{{
    {"SessionStart", false, 0},
    {"SessionEnd", false, 0},
    {"UserPromptSubmit", false, 0},
    {"PreToolUse", true, 0},
    {"PostToolUse", true, 0},
    // A permission request waits in the notch as long as the user needs: one day.
    {"PermissionRequest", true, 86400},
    {"Notification", true, 0},
    {"Stop", false, 0},
    {"SubagentStop", false, 0},
    {"PreCompact", false, 0},
}};

bool anyCommandContains(const Json& groups, std::string_view marker) {
  if (!groups.is_array()) return false;
  for (const Json& group : groups) {
    const Json* hooks = json::array(group, "hooks");
    if (!hooks) continue;
    for (const Json& hook : *hooks)
      if (ConfigFile::commandOf(hook).find(marker) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

std::string binPath(FileSystem& fs) { return fs.home() + "/.talvane" + "/bin/talvane-hook"; }

std::string settingsPath(FileSystem& fs) { return fs.home() + "/.claude/settings.json"; }

std::optional<std::string> relaySource() {
  if (const auto& path = relaySourceOverride()) {
    if (files::exists(*path)) return path;
    return std::nullopt;
  }
  const std::string program = files::program();
  if (program.empty()) return std::nullopt;
  const std::string dir = files::parent(program);
  for (const std::string& candidate : {dir + "/talvane-hook", dir + "/../lib/talvane/talvane-hook"})
    if (files::exists(candidate) && !files::isDirectory(candidate)) return candidate;
  return std::nullopt;
}

void setRelaySource(std::optional<std::string> path) { relaySourceOverride() = std::move(path); }

void copyBinary(FileSystem& fs) {
  const std::string dir = files::parent(binPath(fs));
  if (auto why = fs.makeDirs(dir))
    throw IntegrationError(IntegrationError::unwritable,
                           "cannot create " + fs.displayPath(dir) + ": " + *why);
  auto source = relaySource();
  if (!source) return;  // nothing shipped to install; the hooks still get registered
  auto bytes = files::read(*source);
  if (!bytes)
    throw IntegrationError(IntegrationError::unreadable,
                           "cannot read " + *source + ": " + std::strerror(errno));
  // Replaced by rename, so a hook starting at this moment runs the old or the new relay whole.
  ConfigFile::writeText(fs, binPath(fs), *bytes, 0755);
}

Json load(FileSystem& fs) { return ConfigFile::load(fs, settingsPath(fs)); }

void save(const Json& settings, FileSystem& fs) {
  ConfigFile::save(fs, settingsPath(fs), settings);
}

Json stripping(const Json& hooks, std::string_view marker) {
  Json result = hooks;
  for (auto it = result.begin(); it != result.end();) {
    if (!it->is_array()) {
      ++it;
      continue;
    }
    Json groups = Json::array();
    bool changed = false;
    for (const Json& group : *it) {
      const Json* entries = json::array(group, "hooks");
      if (!entries) {
        groups.push_back(group);
        continue;
      }
      Json kept = Json::array();
      for (const Json& hook : *entries) {
        if (ConfigFile::commandOf(hook).find(marker) != std::string::npos)
          changed = true;
        else
          kept.push_back(hook);
      }
      if (kept.size() == entries->size()) {
        groups.push_back(group);
      } else if (!kept.empty()) {
        Json copy = group;
        copy["hooks"] = std::move(kept);
        groups.push_back(std::move(copy));
      }
    }
    if (changed && groups.empty()) {
      it = result.erase(it);
      continue;
    }
    *it = std::move(groups);
    ++it;
  }
  return result;
}

void install() { installOn(FileSystem::local()); }

void installOn(FileSystem& fs) {
  copyBinary(fs);
  Json settings = load(fs);
  Json hooks = Json::object();
  if (const Json* existing = json::object(settings, "hooks")) hooks = *existing;
  hooks = stripping(hooks, ConfigFile::legacyMarker);
  for (const Event& event : kEvents) {
    const std::string name(event.name);
    Json groups = Json::array();
    if (auto it = hooks.find(name); it != hooks.end() && it->is_array()) groups = *it;
    if (anyCommandContains(groups, ConfigFile::marker)) continue;  // never rewrite ours
    Json hook = {{"type", "command"}, {"command", hookCommand}};
    if (event.timeout > 0) hook["timeout"] = event.timeout;
    Json group = {{"hooks", Json::array({hook})}};
    if (event.anyMatcher) group["matcher"] = "*";
    groups.push_back(std::move(group));
    hooks[name] = std::move(groups);
  }
  settings["hooks"] = std::move(hooks);
  save(settings, fs);
}

void uninstall() { uninstallOn(FileSystem::local()); }

void uninstallOn(FileSystem& fs) {
  // A file that does not exist or holds nothing of ours is left alone: creating one, or
  // rewriting one without its comments, would change the user's settings for nothing.
  if (!ConfigFile::present(fs, settingsPath(fs))) return;
  Json settings = load(fs);
  Json hooks = Json::object();
  if (const Json* existing = json::object(settings, "hooks")) hooks = *existing;
  Json kept = stripping(stripping(hooks, ConfigFile::marker), ConfigFile::legacyMarker);
  if (kept == hooks) return;
  ConfigFile::saveStripped(fs, settingsPath(fs), std::move(settings), hooks, std::move(kept),
                           /*dropEmptyHooks=*/false);
}

bool isInstalled(FileSystem& fs) {
  auto text = fs.read(settingsPath(fs));
  if (!text || text->find(ConfigFile::marker) == std::string::npos) return false;
  return fs.facts(binPath(fs)).executable;
}

}  // namespace talvane::HookInstaller

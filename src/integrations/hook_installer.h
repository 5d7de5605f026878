#pragma once
// The relay copy every agent runs (~/.talvane/bin/talvane-hook) and Claude Code's hooks in
// ~/.claude/settings.json. The throwing operations throw IntegrationError (config_file.h).

#include <optional>
#include <string>
#include <string_view>

#include "platform/file_system.h"
#include "platform/json.h"

namespace talvane::HookInstaller {

// The command Claude Code runs for every event: the relay when it is installed, and always
// status 0, so that a missing relay never disturbs Claude Code.
inline constexpr std::string_view hookCommand =
    "/bin/sh -c '[ -x \"$HOME/.talvane/bin/talvane-hook\" ] && "
    "\"$HOME/.talvane/bin/talvane-hook\" claude; exit 0'";

// Each operation works on this machine's files, or on `fs` when given one.

std::string binPath(FileSystem& fs = FileSystem::local());       // ~/.talvane/bin/talvane-hook
std::string settingsPath(FileSystem& fs = FileSystem::local());  // ~/.claude/settings.json

// The relay shipped with this program: talvane-hook beside the running executable (a build
// tree), else <exe dir>/../lib/talvane/talvane-hook (an installed prefix). Absent when neither
// exists.
std::optional<std::string> relaySource();
// Tests point the relay source elsewhere; std::nullopt restores the search above.
void setRelaySource(std::optional<std::string> path);

// Install or refresh the relay at binPath(), mode 0755, atomically.
void copyBinary(FileSystem& fs = FileSystem::local());
// copyBinary(), then register the hooks (existing ones stay as they are).
void install();
void installOn(FileSystem& fs);
// Remove our hook entries, current and legacy; the relay stays.
void uninstall();
void uninstallOn(FileSystem& fs);
// Our hooks are registered and the relay is executable.
bool isInstalled(FileSystem& fs = FileSystem::local());

// The settings object (throws on a file that is not one).
Json load(FileSystem& fs = FileSystem::local());
void save(const Json& settings, FileSystem& fs = FileSystem::local());
// `hooks` without the hook objects whose command contains `marker`; groups and events that
// this emptied disappear, everything else stays in its order.
Json stripping(const Json& hooks, std::string_view marker);

}  // namespace talvane::HookInstaller

#pragma once
// Cursor's user hook file ~/.cursor/hooks.json. The throwing operations throw IntegrationError
// (config_file.h).

#include <string>
#include <string_view>

#include "platform/file_system.h"
#include "platform/json.h"

namespace talvane::CursorHooks {

// Each operation works on this machine's files, or on `fs` when given one.

std::string path(FileSystem& fs = FileSystem::local());  // ~/.cursor/hooks.json

// The command for one event: the relay when it is installed, else the answer Cursor needs to
// carry on ({"continue":true} before a prompt, {} otherwise).
std::string command(std::string_view event);

// HookInstaller::copyBinary(), then our hooks, replacing earlier ones.
void install(FileSystem& fs = FileSystem::local());
// Remove our hook objects; the relay stays.
void uninstall(FileSystem& fs = FileSystem::local());
// Any hook command in the file names the relay.
bool isInstalled(FileSystem& fs = FileSystem::local());
// ~/.cursor exists, or the Cursor application is installed.
bool available(FileSystem& fs = FileSystem::local());
bool applicationInstalled(FileSystem& fs = FileSystem::local());

Json stripped(const Json& hooks);  // `hooks` without our hook objects
void save(const Json& config, FileSystem& fs = FileSystem::local());

}  // namespace talvane::CursorHooks

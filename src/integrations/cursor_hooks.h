#pragma once
// Cursor's user hook file ~/.cursor/hooks.json. The throwing operations throw IntegrationError
// (config_file.h).

#include <string>
#include <string_view>

#include "platform/json.h"

namespace talvane::CursorHooks {

std::string path();  // ~/.cursor/hooks.json

// The command for one event: the relay when it is installed, else the answer Cursor needs to
// carry on ({"continue":true} before a prompt, {} otherwise).
std::string command(std::string_view event);

void install();      // HookInstaller::copyBinary(), then our hooks, replacing earlier ones
void uninstall();    // remove our hook objects; the relay stays
bool isInstalled();  // any hook command in the file names the relay
bool available();    // ~/.cursor exists, or the Cursor application is installed
bool applicationInstalled();

Json stripped(const Json& hooks);  // `hooks` without our hook objects
void save(const Json& config);

}  // namespace talvane::CursorHooks

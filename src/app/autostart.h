#pragma once
// The login item: an XDG autostart entry, configHome() + "/autostart/talvane.desktop", that
// starts this executable when the user logs in.

#include <optional>
#include <string>

namespace talvane::Autostart {

std::string path();

// The `talvane` command that started this process (files::program()), empty when it cannot be
// told.
std::string currentExecutable();

// The entry that starts `executable`; empty when the path cannot be written in an entry.
std::string entry(const std::string& executable);

// The entry exists, was written by us, and the desktop has not been told to skip it.
bool enabled();

// Writes the entry for `executable` (the running one by default). Empty on success, else why.
std::optional<std::string> install(const std::string& executable = currentExecutable());
// Removes our entry; an entry at that place that is not ours is left alone. Empty on success.
std::optional<std::string> uninstall();

// When enabled, points the entry at `executable` again if it moved; call at startup.
void refresh(const std::string& executable = currentExecutable());

}  // namespace talvane::Autostart

#pragma once
// Whether a desktop application is installed, for agents that are applications rather than
// folders in the home directory.

#include <initializer_list>
#include <string_view>

#include "platform/file_system.h"

namespace talvane::AppPresence {

// True when `executable` is on PATH, or any of `folders` (absolute, or relative to the home
// directory when they start with "~/") exists, on the machine of `fs`.
bool installed(std::string_view executable, std::initializer_list<std::string_view> folders,
               FileSystem& fs = FileSystem::local());

}  // namespace talvane::AppPresence

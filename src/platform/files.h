#pragma once
// Files and well-known places. Every failure is a value, never an exception.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace talvane::files {

// $HOME, else the password database's home directory.
std::string home();
// $XDG_CONFIG_HOME when absolute, else home() + "/.config".
std::string configHome();

// A read-only descriptor of `path` when it is a regular file (links followed), else -1. Never
// blocks: a FIFO or device named by a payload, transcript or rollout must not stall the loop.
int openRegular(const std::string& path);
// The whole content of a regular file.
std::optional<std::string> read(const std::string& path);
bool exists(const std::string& path);
bool isDirectory(const std::string& path);
// Creates the directory and its parents; true when it exists afterwards.
bool makeDirs(const std::string& path, mode_t mode = 0755);

// Writes through a temporary file in the same directory, fsync and rename, so readers see the
// old or the new content, never a mix. Creates the parent directory. Empty on success, else why.
std::optional<std::string> writeAtomic(const std::string& path, std::string_view data,
                                       mode_t mode = 0644);

// The `talvane` command's path: this process's executable, or the command that started it when
// it is the app, which lives apart (lib/talvane) and is told through setProgram. Places beside
// the command (the relay, the page) are found from here. Empty when it cannot be told.
std::string program();
void setProgram(std::string path);

std::string parent(std::string_view path);
std::string lastComponent(std::string_view path);

}  // namespace talvane::files

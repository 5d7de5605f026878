#pragma once
// Claude Code's transcripts: one "<session id>.jsonl" per conversation, in one directory per
// project under ~/.claude/projects.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/event_loop.h"

namespace talvane::TranscriptFiles {

std::string projectsDir();

// Calls `fn` for every regular "*.jsonl" file directly inside a project directory, with its
// modification date and size in bytes. Unreadable directories contribute nothing.
void forEach(const std::function<void(const std::string& path, std::string_view name, Date modified,
                                      std::uint64_t size)>& fn);

}  // namespace talvane::TranscriptFiles

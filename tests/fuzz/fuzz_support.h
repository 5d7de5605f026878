#pragma once
// What every fuzz target shares: a home folder of its own, so that nothing a fuzzed payload
// names can reach the real agents' files, and FIFOs where payloads may point.

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace talvane::fuzz {

// A FIFO nobody writes to, at a fixed place the corpus can name as a transcript path.
inline constexpr const char* kFifo = "/tmp/talvane-fuzz-fifo.jsonl";

// Points HOME and XDG_CONFIG_HOME at a fresh temporary folder, once per process, removed at
// exit; returns it.
inline const std::string& temporaryHome() {
  static const std::string home = [] {
    std::string pattern = "/tmp/talvane-fuzz-XXXXXX";
    const char* made = ::mkdtemp(pattern.data());
    if (!made) __builtin_trap();
    std::string path = made;
    ::setenv("HOME", path.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (path + "/.config").c_str(), 1);
    ::mkfifo(kFifo, 0600);
    // A transcript the usage view would open.
    files::makeDirs(path + "/.claude/projects/-fuzz", 0700);
    ::mkfifo((path + "/.claude/projects/-fuzz/fifo.jsonl").c_str(), 0600);
    // Kept apart from `home`, which is destroyed before handlers registered during its
    // initialisation run.
    static char removeAtExit[4096];
    std::snprintf(removeAtExit, sizeof removeAtExit, "%s", path.c_str());
    std::atexit([] {
      ::nftw(
          removeAtExit, [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); },
          16, FTW_DEPTH | FTW_PHYS);
    });
    return path;
  }();
  return home;
}

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace talvane::fuzz

#pragma once
// Speech made at test time with flite, whose "rms" voice PocketSphinx hears word for word.

#include <glib.h>

#include <string>

#include "support/test_home.h"
#include "voice/audio.h"

namespace talvane::testing {

inline bool haveFlite() { return g_find_program_in_path("flite") != nullptr; }

// Writes `text` spoken to `dir`/`name`; returns its path, or empty when flite failed.
inline std::string speak(const std::string& dir, const std::string& name, const std::string& text) {
  std::string path = dir + "/" + name;
  const char* argv[] = {"flite", "-voice", "rms", "-t", text.c_str(), "-o", path.c_str(), nullptr};
  gint status = 0;
  if (!g_spawn_sync(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                    nullptr, nullptr, nullptr, &status, nullptr) ||
      !g_spawn_check_wait_status(status, nullptr))
    return {};
  return path;
}

}  // namespace talvane::testing

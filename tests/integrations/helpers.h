#pragma once
// Shared by the integration tests: file contents, a stand-in relay and running a command line.

#include <glib.h>
#include <sys/wait.h>

#include <string>

#include "platform/files.h"
#include "platform/json.h"

namespace talvane::testing {

// The file's bytes, or "<missing>".
inline std::string contents(const std::string& path) {
  return files::read(path).value_or("<missing>");
}

// The file parsed as JSON (comments allowed); null when missing or invalid.
inline Json jsonAt(const std::string& path) {
  auto text = files::read(path);
  if (!text) return nullptr;
  return json::parse(*text, true).value_or(nullptr);
}

// A shell script standing in for the relay: each run appends "args:" and its arguments, its
// standard input, and a line "--" to `record`.
inline void writeStubRelay(const std::string& path, const std::string& record) {
  files::writeAtomic(path,
                     "#!/bin/sh\n"
                     "{ echo \"args:$*\"; cat; echo; echo --; } >> '" +
                         record + "'\n",
                     0755);
}

struct Run {
  int status = -1;  // the exit status, -1 when it could not run or died of a signal
  std::string out;
  std::string err;
};

// Runs `command` with /bin/sh in the current environment, standard input from /dev/null.
inline Run runShell(const std::string& command) {
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  gchar* out = nullptr;
  gchar* err = nullptr;
  gint wait = 0;
  Run run;
  if (!g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr,
                    &out, &err, &wait, nullptr))
    return run;
  run.out = out ? out : "";
  run.err = err ? err : "";
  g_free(out);
  g_free(err);
  if (WIFEXITED(wait)) run.status = WEXITSTATUS(wait);
  return run;
}

}  // namespace talvane::testing

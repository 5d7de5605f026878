#include "remote/command_runner.h"

#include <gio/gio.h>
#include <unistd.h>

#include <memory>

#include "platform/gobject.h"

namespace talvane::remote {

namespace {

struct BytesUnref {
  void operator()(GBytes* bytes) const {
    if (bytes) g_bytes_unref(bytes);
  }
};
using BytesPtr = std::unique_ptr<GBytes, BytesUnref>;

std::string text(const BytesPtr& bytes) {
  if (!bytes) return {};
  gsize size = 0;
  const auto* data = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
  return data ? std::string(data, size) : std::string();
}

// A new session: no controlling terminal, so nothing the program starts can open /dev/tty and
// ask for a password there.
void detach(gpointer) { ::setsid(); }

}  // namespace

RunResult SpawnRunner::run(const std::vector<std::string>& argv, const std::string& input) {
  RunResult result;
  std::vector<const char*> args;
  args.reserve(argv.size());
  for (const std::string& a : argv) args.push_back(a.c_str());
  args.push_back(nullptr);
  GObjectPtr<GSubprocessLauncher> launcher(g_subprocess_launcher_new(
      static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                    G_SUBPROCESS_FLAGS_STDERR_PIPE)));
  g_subprocess_launcher_set_child_setup(launcher.get(), detach, nullptr, nullptr);
  GError* raw = nullptr;
  GObjectPtr<GSubprocess> process(g_subprocess_launcher_spawnv(launcher.get(), args.data(), &raw));
  GErrorPtr error(raw);
  if (!process) {
    result.err = error ? error->message : "cannot start " + argv.front();
    return result;
  }
  BytesPtr in(g_bytes_new(input.data(), input.size()));
  GBytes* out = nullptr;
  GBytes* err = nullptr;
  const bool done =
      g_subprocess_communicate(process.get(), in.get(), nullptr, &out, &err, &raw) != FALSE;
  error.reset(raw);
  const BytesPtr outBytes(out);
  const BytesPtr errBytes(err);
  result.out = text(outBytes);
  result.err = text(errBytes);
  if (!done) {
    if (result.err.empty() && error) result.err = error->message;
    g_subprocess_force_exit(process.get());
    g_subprocess_wait(process.get(), nullptr, nullptr);
    return result;
  }
  if (g_subprocess_get_if_exited(process.get()))
    result.status = g_subprocess_get_exit_status(process.get());
  return result;
}

}  // namespace talvane::remote

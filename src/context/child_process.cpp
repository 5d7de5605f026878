#include "context/child_process.h"

#include "platform/log.h"

namespace talvane {

namespace {

std::vector<const gchar*> cStrings(const std::vector<std::string>& strings) {
  std::vector<const gchar*> out;
  out.reserve(strings.size() + 1);
  for (const auto& s : strings) out.push_back(s.c_str());
  out.push_back(nullptr);
  return out;
}

// The GIO callbacks own one reference to the process object until they have run.
using Ref = std::shared_ptr<ChildProcess>;

}  // namespace

std::shared_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv,
                                                  const std::string& directory,
                                                  const std::vector<std::string>& environment,
                                                  Done done) {
  std::shared_ptr<ChildProcess> self(new ChildProcess());
  self->done_ = std::move(done);
  self->cancellable_.reset(g_cancellable_new());

  GObjectPtr<GSubprocessLauncher> launcher(g_subprocess_launcher_new(static_cast<GSubprocessFlags>(
      G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_SILENCE)));
  const auto env = cStrings(environment);
  g_subprocess_launcher_set_environ(launcher.get(), const_cast<gchar**>(env.data()));
  g_subprocess_launcher_set_cwd(launcher.get(), directory.c_str());
  const auto args = cStrings(argv);
  GError* error = nullptr;
  self->process_.reset(g_subprocess_launcher_spawnv(launcher.get(), args.data(), &error));
  if (!self->process_) {
    log::debug("context", std::string("cannot start ") + (argv.empty() ? "" : argv[0]) + ": " +
                              (error ? error->message : "unknown error"));
    GErrorPtr owned(error);
    // Report on a later pass so that callers never see their callback inside start().
    g_idle_add_full(G_PRIORITY_DEFAULT, failed, new Ref(self),
                    [](gpointer p) { delete static_cast<Ref*>(p); });
    return self;
  }
  g_subprocess_communicate_async(self->process_.get(), nullptr, self->cancellable_.get(),
                                 communicated, new Ref(self));
  return self;
}

void ChildProcess::cancel() {
  done_ = nullptr;
  g_cancellable_cancel(cancellable_.get());
  if (process_) g_subprocess_force_exit(process_.get());
}

gboolean ChildProcess::failed(gpointer data) {
  (*static_cast<Ref*>(data))->finish(std::nullopt);
  return G_SOURCE_REMOVE;
}

void ChildProcess::communicated(GObject* source, GAsyncResult* result, gpointer data) {
  const std::unique_ptr<Ref> self(static_cast<Ref*>(data));
  GBytes* out = nullptr;
  GError* error = nullptr;
  const bool read =
      g_subprocess_communicate_finish(G_SUBPROCESS(source), result, &out, nullptr, &error);
  GErrorPtr owned(error);
  std::optional<std::string> output;
  // The program has exited once communication is complete.
  if (read && g_subprocess_get_successful(G_SUBPROCESS(source))) {
    gsize size = 0;
    const auto* bytes = out ? static_cast<const char*>(g_bytes_get_data(out, &size)) : nullptr;
    output = bytes ? std::string(bytes, size) : std::string();
  }
  if (out) g_bytes_unref(out);
  (*self)->finish(std::move(output));
}

void ChildProcess::finish(std::optional<std::string> output) {
  auto done = std::exchange(done_, nullptr);
  if (!done) return;
  try {
    done(std::move(output));
  } catch (const std::exception& e) {
    log::line(std::string("Talvane: child process callback failed: ") + e.what());
  } catch (...) {
    log::line("Talvane: child process callback failed");
  }
}

}  // namespace talvane

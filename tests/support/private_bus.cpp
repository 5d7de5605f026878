#include "support/private_bus.h"

#include <chrono>

#include "platform/files.h"

namespace talvane::testing {

namespace {

constexpr const char* kConfig =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
    "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
    "<auth>EXTERNAL</auth><policy context='default'><allow send_destination='*'/>"
    "<allow eavesdrop='true'/><allow own='*'/></policy></busconfig>\n";

using Clock = std::chrono::steady_clock;

}  // namespace

PrivateBus::PrivateBus() {
  const std::string config = dir_.path() + "/bus.conf";
  if (auto error = files::writeAtomic(config, kConfig, 0600)) {
    why_ = *error;
    return;
  }
  const std::string configArg = "--config-file=" + config;
  const gchar* argv[] = {"dbus-daemon", configArg.c_str(), "--nofork", "--print-address=1",
                         nullptr};
  GError* error = nullptr;
  daemon_.reset(g_subprocess_newv(argv, G_SUBPROCESS_FLAGS_STDOUT_PIPE, &error));
  if (!daemon_) {
    why_ = std::string("dbus-daemon is not installed: ") + error->message;
    g_error_free(error);
    return;
  }
  GObjectPtr<GDataInputStream> out(
      g_data_input_stream_new(g_subprocess_get_stdout_pipe(daemon_.get())));
  GCharPtr line(g_data_input_stream_read_line(out.get(), nullptr, nullptr, nullptr));
  if (!line) {
    why_ = "dbus-daemon printed no address";
    return;
  }
  address_ = line.get();
}

PrivateBus::~PrivateBus() {
  // The kill is sent from GLib's worker thread: wait for it, or a quick exit can leave the
  // daemon holding our output pipe open.
  if (daemon_) {
    g_subprocess_force_exit(daemon_.get());
    g_subprocess_wait(daemon_.get(), nullptr, nullptr);
  }
}

GObjectPtr<GDBusConnection> PrivateBus::connect() const {
  GObjectPtr<GDBusConnection> bus(g_dbus_connection_new_for_address_sync(
      address_.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr));
  if (bus) g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
  return bus;
}

bool spinUntil(const std::function<bool()>& done, double seconds) {
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  // A short timer keeps a blocking iteration from waiting past the deadline.
  const guint tick = g_timeout_add(
      10, +[](gpointer) { return gboolean(G_SOURCE_CONTINUE); }, nullptr);
  bool ok = done();
  while (!ok && Clock::now() < end) {
    g_main_context_iteration(nullptr, TRUE);
    ok = done();
  }
  g_source_remove(tick);
  return ok;
}

}  // namespace talvane::testing

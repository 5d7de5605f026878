#include "platform/session_bus.h"

#include <cstdlib>

namespace talvane {

namespace {

bool sessionBusConfigured() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
    return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime && *runtime &&
         g_file_test((std::string(runtime) + "/bus").c_str(), G_FILE_TEST_EXISTS);
}

}  // namespace

bool connectToBus(const std::string& address, GCancellable* cancellable,
                  GAsyncReadyCallback onAddress, GAsyncReadyCallback onSession, gpointer data) {
  if (!address.empty()) {
    g_dbus_connection_new_for_address(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, cancellable, onAddress, data);
    return true;
  }
  if (!sessionBusConfigured()) return false;
  g_bus_get(G_BUS_TYPE_SESSION, cancellable, onSession, data);
  return true;
}

}  // namespace talvane

#include "platform/session_bus.h"

#include <cstdlib>
#include <memory>

#include "platform/signal_connection.h"
#include "platform/user_data.h"

namespace talvane {

namespace {

bool sessionBusConfigured() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
    return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime && *runtime &&
         g_file_test((std::string(runtime) + "/bus").c_str(), G_FILE_TEST_EXISTS);
}

void finish(GDBusConnection* found, GError* error, gpointer data) {
  const BusConnected done = UserData<BusConnected>::take(data);
  GObjectPtr<GDBusConnection> bus(found);
  const GErrorPtr failed(error);
  const std::string why = failed ? failed->message : std::string();
  guardCallback("the bus connection", [&] { done(std::move(bus), why); });
}

}  // namespace

bool connectToBus(const std::string& address, GCancellable* cancellable, BusConnected done) {
  gpointer data = UserData<BusConnected>::hold(std::move(done));
  const bool trying = connectToBus(
      address, cancellable,
      +[](GObject*, GAsyncResult* result, gpointer data) {
        GError* error = nullptr;
        finish(g_dbus_connection_new_for_address_finish(result, &error), error, data);
      },
      +[](GObject*, GAsyncResult* result, gpointer data) {
        GError* error = nullptr;
        finish(g_bus_get_finish(result, &error), error, data);
      },
      data);
  if (!trying) UserData<BusConnected>::release(data);
  return trying;
}

void connectToSystemBus(const std::string& address, GCancellable* cancellable, BusConnected done) {
  if (!address.empty()) {
    connectToBus(address, cancellable, std::move(done));
    return;
  }
  g_bus_get(
      G_BUS_TYPE_SYSTEM, cancellable,
      +[](GObject*, GAsyncResult* result, gpointer data) {
        GError* error = nullptr;
        finish(g_bus_get_finish(result, &error), error, data);
      },
      new BusConnected(std::move(done)));
}

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

#pragma once
// Reaching a D-Bus bus without ever starting one: GIO would autolaunch a bus daemon when none is
// configured, and the app only talks to buses that already run.

#include <gio/gio.h>

#include <functional>
#include <string>

#include "platform/gobject.h"

namespace talvane {

// Starts connecting to the bus at `address` (a private bus in tests), or, when it is empty, to
// the session bus if one is configured. GIO then calls `onAddress` (finish with
// g_dbus_connection_new_for_address_finish) or `onSession` (g_bus_get_finish) with `data`.
// False, and no call, when there is no bus to try.
bool connectToBus(const std::string& address, GCancellable* cancellable,
                  GAsyncReadyCallback onAddress, GAsyncReadyCallback onSession, gpointer data);

// The same, ending in one call of `done` on the main context: the connection, or none and why
// (also when the attempt was cancelled). False, and no call, when there is no bus to try.
using BusConnected = std::function<void(GObjectPtr<GDBusConnection> bus, std::string error)>;
bool connectToBus(const std::string& address, GCancellable* cancellable, BusConnected done);

// The same for the system bus (or `address`): it never autolaunches, so a missing one is an error
// in `done`.
void connectToSystemBus(const std::string& address, GCancellable* cancellable, BusConnected done);

}  // namespace talvane
